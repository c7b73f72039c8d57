// Object destruction (C_DestroyObject), deletion of a whole key container (the vendor
// function C_DeleteContainer), and C_CopyObject, which is not supported.
#include <vector>

#include "core/CoreObjects.h"
#include "core/Log.h"
#include "crypto/CryptoFrame.h"
#include "module/Globals.h"
#include "module/Locked.h"
#include "module/Pkcs11Provider.h"
#include "object/Pkcs11ObjectList.h"
#include "session/CallFrame.h"

namespace Vellumcrest {
namespace Pkcs11 {

using CallFrame::Held;

namespace {

constexpr int kUserAuth = 1;

// What both calls hold: the session, its group and the slot's reader/card pair.
struct DestroyFrame {
    Held held;
    Locked<Core::ReaderCardPair> pair;
    Pkcs11ObjectList* list = nullptr;
};

CK_RV takeFrame(Pkcs11Provider* provider, CK_SESSION_HANDLE hSession, DestroyFrame& frame) {
    CK_RV rv = CallFrame::TakeSession(provider, hSession, frame.held);
    if (rv != CKR_OK) return rv;
    if (CallFrame::TakeGroup(frame.held) != CKR_OK) return CKR_FUNCTION_FAILED;
    frame.list = frame.held.group->GetObjectList();
    if (frame.list == nullptr) return CKR_FUNCTION_FAILED;
    frame.pair.reset(CallFrame::LockPair(provider, frame.held.slot));
    return frame.pair ? CKR_OK : CKR_FUNCTION_FAILED;
}

// A private object is deleted only in a session of a logged-in user.
CK_RV checkWriteAccess(DestroyFrame& frame, const Core::CoreObject* object) {
    if (object->GetCoreObjectFlags().privateObject != 0 && !CallFrame::UserLoggedIn(frame.held))
        return CKR_TOKEN_WRITE_PROTECTED;
    return CKR_OK;
}

// The card container of a certificate or an RSA key; null for other objects and when the
// record or its container is not on the card.
Core::CardContainerRecord* containerOf(Core::ReaderCardPair* pair, const Core::CoreObject* object) {
    if (object->GetCoreObjectType() == Core::CoreObjectTypeCertificate) {
        const Core::CardCertificateRecord* record =
            static_cast<const Core::Certificate*>(object)->GetCardCertificateRecord(pair);
        return record != nullptr ? pair->FindCardContainerRecord(record) : nullptr;
    }
    if (CryptoFrame::IsKeyOfType(object, Core::KeyTypeRsaPublicKey)) {
        const Core::CardPublicKeyRecord* record =
            static_cast<const Core::RsaPublicKey*>(object)->GetCardPublicKeyRecord(pair);
        return record != nullptr ? pair->FindCardContainerRecord(record) : nullptr;
    }
    if (CryptoFrame::IsKeyOfType(object, Core::KeyTypeRsaPrivateKey)) {
        const Core::CardPrivateKeyRecord* record =
            static_cast<const Core::RsaPrivateKey*>(object)->GetCardPrivateKeyRecord(pair);
        return record != nullptr ? pair->FindCardContainerRecord(record) : nullptr;
    }
    return nullptr;
}

// The container of a deleted client certificate or key goes when nothing is left in it.
CK_RV deleteIfEmpty(Core::ReaderCardPair* pair, Core::CardContainerRecord* container) {
    Core::Log* log = GetPkcs11Log();
    const int counts[] = {pair->FindCardCertificateRecord(container, 0, nullptr),
                          pair->FindCardPublicKeyRecord(container, 0, nullptr),
                          pair->FindCardPrivateKeyRecord(container, 0, nullptr),
                          pair->FindCardFileStorageRecord(container, 0, nullptr)};
    for (int count : counts) {
        if (count < 0) {
            log->Error("Pkcs11Provider::C_DestroyObject(): chyba pri zjistovani obsahu kontejneru");
            return CKR_FUNCTION_FAILED;
        }
        if (count > 0) return CKR_OK;
    }
    int code = pair->DeleteContainer(container, false, false);
    if (code != Core::CoreOk) {
        log->Error("Pkcs11Provider::C_DestroyObject():DeleteContainer(): chyba 0x%x", static_cast<unsigned>(code));
        return CKR_FUNCTION_FAILED;
    }
    log->Info("Pkcs11Provider::C_DestroyObject(): prazdny kontejner smazan");
    return CKR_OK;
}

CK_RV deleteKey(Core::ReaderCardPair* pair, Core::CoreObject* object, bool publicKey) {
    Core::Log* log = GetPkcs11Log();
    Core::CardPublicKeyRecord* publicRecord =
        publicKey ? static_cast<Core::RsaPublicKey*>(object)->GetCardPublicKeyRecord(pair) : nullptr;
    Core::CardPrivateKeyRecord* privateRecord =
        publicKey ? nullptr : static_cast<Core::RsaPrivateKey*>(object)->GetCardPrivateKeyRecord(pair);
    Core::CardContainerRecord* container = nullptr;
    if (publicRecord != nullptr) container = pair->FindCardContainerRecord(publicRecord);
    if (privateRecord != nullptr) container = pair->FindCardContainerRecord(privateRecord);
    if (container == nullptr) {
        log->Error("Pkcs11Provider::C_DestroyObject(): chyba pri dohladani zaznamu objektu / kontejneru");
        return CKR_FUNCTION_FAILED;
    }
    int code = pair->DeleteKeyPair(privateRecord, publicRecord);
    if (code != Core::CoreOk) {
        log->Error("Pkcs11Provider::C_DestroyObject():DeleteKeyPair(): chyba 0x%x", static_cast<unsigned>(code));
        return CKR_FUNCTION_FAILED;
    }
    log->Info(publicKey ? "Pkcs11Provider::C_DestroyObject(): public klic smazan"
                        : "Pkcs11Provider::C_DestroyObject(): private klic smazan");
    return deleteIfEmpty(pair, container);
}

CK_RV deleteCertificate(Core::ReaderCardPair* pair, Core::CoreObject* object) {
    Core::Log* log = GetPkcs11Log();
    Core::CardCertificateRecord* record = static_cast<Core::Certificate*>(object)->GetCardCertificateRecord(pair);
    Core::CardContainerRecord* container = record != nullptr ? pair->FindCardContainerRecord(record) : nullptr;
    if (container == nullptr) {
        log->Error("Pkcs11Provider::C_DestroyObject(): chyba pri dohledani zaznamu objektu / kontejneru");
        return CKR_FUNCTION_FAILED;
    }
    const bool client = record->kind == Core::CertificateKindClient;
    int code = pair->DeleteCertificate(record);
    if (code != Core::CoreOk) {
        log->Error("Pkcs11Provider::C_DestroyObject():DeleteCertificate(): chyba 0x%x", static_cast<unsigned>(code));
        return CKR_FUNCTION_FAILED;
    }
    log->Info("Pkcs11Provider::C_DestroyObject(): certifikat smazan");
    // A root or partner certificate never takes a key container with it.
    return client ? deleteIfEmpty(pair, container) : CKR_OK;
}

CK_RV deleteDataFile(Core::ReaderCardPair* pair, Core::CoreObject* object) {
    Core::Log* log = GetPkcs11Log();
    Core::CardFileStorageRecord* record = static_cast<Core::FileStorage*>(object)->GetCardFileStorageRecord(pair);
    if (record == nullptr) {
        log->Error("Pkcs11Provider::C_DestroyObject(): chyba pri dohledani zaznamu objektu");
        return CKR_FUNCTION_FAILED;
    }
    int code = pair->DeleteFileStorage(record);
    if (code != Core::CoreOk) {
        log->Error("Pkcs11Provider::C_DestroyObject():DeleteFileStorage(): chyba 0x%x", static_cast<unsigned>(code));
        return CKR_FUNCTION_FAILED;
    }
    log->Info("Pkcs11Provider::C_DestroyObject(): datafile smazan");
    return CKR_OK;
}

// Deletes a token object's records from the open, logged-in card.
CK_RV deleteFromCard(Core::ReaderCardPair* pair, Core::CoreObject* object) {
    if (object->GetCoreObjectType() == Core::CoreObjectTypeCertificate) return deleteCertificate(pair, object);
    if (object->GetCoreObjectType() == Core::CoreObjectTypeFileStorage) return deleteDataFile(pair, object);
    if (CryptoFrame::IsKeyOfType(object, Core::KeyTypeRsaPublicKey)) return deleteKey(pair, object, true);
    if (CryptoFrame::IsKeyOfType(object, Core::KeyTypeRsaPrivateKey)) return deleteKey(pair, object, false);
    GetPkcs11Log()->Error("Pkcs11Provider::C_DestroyObject(): mazani objektu tohoto typu (0x%x) neni implementovano",
                          static_cast<unsigned>(object->GetCoreObjectType()));
    return CKR_FUNCTION_FAILED;
}

void removeAndDestroy(Pkcs11ObjectList* list, CK_OBJECT_HANDLE handle, Core::CoreObject* lockedObject) {
    list->Remove(handle);
    lockedObject->Unlock();
    delete lockedObject;
}

}  // namespace

CK_RV Pkcs11Provider::C_DestroyObject(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject) {
    static const char* const kMethod = "C_DestroyObject";
    GetPkcs11Log()->Info("Pkcs11Provider::C_DestroyObject(0x%lX, 0x%lx)", hSession, hObject);
    if (!IsInitialised()) return LogResult(kMethod, CKR_CRYPTOKI_NOT_INITIALIZED);
    if (hSession == 0 || hObject == 0) return LogResult(kMethod, CKR_ARGUMENTS_BAD);

    DestroyFrame frame;
    CK_RV rv = takeFrame(this, hSession, frame);
    if (rv != CKR_OK) return LogResult(kMethod, rv);
    Locked<Core::CoreObject> object(frame.list->FindObject(hObject, true));
    if (!object) return LogResult(kMethod, CKR_OBJECT_HANDLE_INVALID);
    rv = checkWriteAccess(frame, object.get());
    if (rv != CKR_OK) return LogResult(kMethod, rv);

    // A session object lives in memory only.
    if (object->GetCoreObjectFlags().token != 0) {
        rv = CryptoFrame::OnLoggedInCard(frame.held.group.get(), frame.pair.get(), kUserAuth,
                            [&] { return deleteFromCard(frame.pair.get(), object.get()); });
    }
    // A token object whose deletion failed stays in the list, so that the call can be repeated.
    if (rv == CKR_OK) removeAndDestroy(frame.list, hObject, object.release());
    return LogResult(kMethod, rv);
}

CK_RV Pkcs11Provider::C_DeleteContainer(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject) {
    static const char* const kMethod = "C_DeleteContainer";
    Core::Log* log = GetPkcs11Log();
    log->Info("Pkcs11Provider::C_DeleteContainer(0x%lX, 0x%lx)", hSession, hObject);
    if (!IsInitialised()) return LogResult(kMethod, CKR_CRYPTOKI_NOT_INITIALIZED);
    if (hSession == 0 || hObject == 0) return LogResult(kMethod, CKR_ARGUMENTS_BAD);

    DestroyFrame frame;
    CK_RV rv = takeFrame(this, hSession, frame);
    if (rv != CKR_OK) return LogResult(kMethod, rv);
    // Objects are used without their locks here: the pair's lock keeps the card still.
    Core::CoreObject* object = frame.list->FindObject(hObject, false);
    if (object == nullptr) return LogResult(kMethod, CKR_OBJECT_HANDLE_INVALID);
    rv = checkWriteAccess(frame, object);
    if (rv != CKR_OK) return LogResult(kMethod, rv);
    if (object->GetCoreObjectFlags().token == 0) {
        log->Error("Pkcs11Provider::C_DeleteContainer(): predany objekt neni token objekt, ale nachazi se pouze v "
                   "pameti");
        return LogResult(kMethod, CKR_FUNCTION_FAILED);
    }

    Core::ReaderCardPair* pair = frame.pair.get();
    std::vector<CK_OBJECT_HANDLE> members;
    rv = CryptoFrame::OnLoggedInCard(frame.held.group.get(), pair, kUserAuth, [&]() -> CK_RV {
        const bool hasContainer = object->GetCoreObjectType() == Core::CoreObjectTypeCertificate ||
                                  CryptoFrame::IsKeyOfType(object, Core::KeyTypeRsaPublicKey) ||
                                  CryptoFrame::IsKeyOfType(object, Core::KeyTypeRsaPrivateKey);
        if (!hasContainer) {
            log->Error("Pkcs11Provider::C_DeleteContainer(): z objektu tohoto typu (0x%x) neni mozne dohledat "
                       "kontejner",
                       static_cast<unsigned>(object->GetCoreObjectType()));
            return CKR_FUNCTION_FAILED;
        }
        Core::CardContainerRecord* container = containerOf(pair, object);
        if (container == nullptr) {
            log->Error("Pkcs11Provider::C_DeleteContainer(): chyba pri dohledani kontejneru");
            return CKR_FUNCTION_FAILED;
        }
        const uint32_t containerId = container->containerId;
        unsigned long handle = 0;
        for (Core::CoreObject* member = frame.list->GetFirst(handle); member != nullptr;
             member = frame.list->GetNext(handle)) {
            Core::CardContainerRecord* own = containerOf(pair, member);
            if (own != nullptr && own->containerId == containerId) members.push_back(handle);
        }
        int code = pair->DeleteContainer(container, true, false);
        if (code != Core::CoreOk) {
            log->Error("Pkcs11Provider::C_DeleteContainer():DeleteContainer(): chyba 0x%x",
                       static_cast<unsigned>(code));
            return CKR_FUNCTION_FAILED;
        }
        log->Info("Pkcs11Provider::C_DeleteContainer(): kontejner smazan");
        return CKR_OK;
    });

    if (rv == CKR_OK) {
        for (CK_OBJECT_HANDLE member : members) {
            Core::CoreObject* gone = frame.list->FindObject(member);
            if (gone == nullptr) continue;
            frame.list->Remove(member);
            delete gone;
        }
    }
    return LogResult(kMethod, rv);
}

CK_RV Pkcs11Provider::C_CopyObject(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject, CK_ATTRIBUTE_PTR pTemplate,
                                   CK_ULONG ulCount, CK_OBJECT_HANDLE_PTR phNewObject) {
    GetPkcs11Log()->Info("Pkcs11Provider::C_CopyObject(0x%lX, 0x%lx, %p, %lu, %p)", hSession, hObject,
                         static_cast<void*>(pTemplate), ulCount, static_cast<void*>(phNewObject));
    return LogResult("C_CopyObject", CKR_FUNCTION_NOT_SUPPORTED);
}

}  // namespace Pkcs11
}  // namespace Vellumcrest
