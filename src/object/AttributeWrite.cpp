// Attribute writing: CKA_LABEL and CKA_ID into an object's card record (or, for an ID the
// record cannot hold, into memory), CKA_VALUE of a data object as a new data file, and
// C_SetAttributeValue.
#include <algorithm>
#include <cstring>

#include "core/Log.h"
#include "diag/Names.h"
#include "module/Globals.h"
#include "module/Locked.h"
#include "module/Pkcs11Provider.h"
#include "object/ObjectImport.h"
#include "session/CallFrame.h"
#include "session/Session.h"

namespace Vellumcrest {
namespace Pkcs11 {

namespace {

// Certificates and RSA keys keep an ID and a label in their record; data files a label only.
bool holdsIdAndLabel(Core::CoreObject* object) {
    if (object->GetCoreObjectType() == Core::CoreObjectTypeCertificate) return true;
    if (object->GetCoreObjectType() != Core::CoreObjectTypeKey) return false;
    Core::KeyType keyType = static_cast<Core::Key*>(object)->GetKeyType();
    return keyType == Core::KeyTypeRsaPublicKey || keyType == Core::KeyTypeRsaPrivateKey;
}

// Sets whichever of ID and label is given on a record's common attributes.
bool setCommon(Core::CardCommonAttribute& common, const unsigned char* id, unsigned long idLength,
               const unsigned char* label, unsigned long labelLength) {
    if (id != nullptr && idLength != 0 && !common.SetId(id, idLength)) return false;
    if (label != nullptr && labelLength != 0 &&
        !common.SetLabelUtf8(reinterpret_cast<const char*>(label), labelLength))
        return false;
    return true;
}

CK_RV updateResult(int code) { return code == Core::CoreOk ? CKR_OK : ObjectImport::CardWriteError(code); }

}  // namespace

CK_RV Pkcs11ObjectList::StoreCryptokiAndLabel(Core::CoreObject* object, Core::ReaderCardPair* pair,
                                              const unsigned char* id, unsigned long idLength,
                                              const unsigned char* label, unsigned long labelLength) {
    const bool hasId = id != nullptr && idLength != 0;
    const bool hasLabel = label != nullptr && labelLength != 0;
    switch (object->GetCoreObjectType()) {
    case Core::CoreObjectTypeCertificate: {
        Core::CardCertificateRecord* record = static_cast<Core::Certificate*>(object)->GetCardCertificateRecord(pair);
        if (record == nullptr) return CKR_FUNCTION_FAILED;
        if (!hasId && !hasLabel) return CKR_OK;
        if (!setCommon(record->common, id, idLength, label, labelLength)) return CKR_FUNCTION_FAILED;
        return updateResult(pair->UpdateCertificateAttr(record));
    }
    case Core::CoreObjectTypeFileStorage: {
        Core::CardFileStorageRecord* record = static_cast<Core::FileStorage*>(object)->GetCardFileStorageRecord(pair);
        if (record == nullptr) return CKR_FUNCTION_FAILED;
        if (!hasLabel) return CKR_OK;  // a data file keeps no ID
        if (!setCommon(record->common, nullptr, 0, label, labelLength)) return CKR_FUNCTION_FAILED;
        return updateResult(pair->UpdateFileStorageAttr(record));
    }
    case Core::CoreObjectTypeKey: {
        Core::KeyType keyType = static_cast<Core::Key*>(object)->GetKeyType();
        if (keyType == Core::KeyTypeRsaPublicKey) {
            Core::CardPublicKeyRecord* record = static_cast<Core::RsaPublicKey*>(object)->GetCardPublicKeyRecord(pair);
            if (record == nullptr) return CKR_FUNCTION_FAILED;
            if (!hasId && !hasLabel) return CKR_OK;
            if (!setCommon(record->common, id, idLength, label, labelLength)) return CKR_FUNCTION_FAILED;
            return updateResult(pair->UpdateKeyPairAttr(nullptr, record));
        }
        if (keyType == Core::KeyTypeRsaPrivateKey) {
            Core::CardPrivateKeyRecord* record =
                static_cast<Core::RsaPrivateKey*>(object)->GetCardPrivateKeyRecord(pair);
            if (record == nullptr) return CKR_FUNCTION_FAILED;
            if (!hasId && !hasLabel) return CKR_OK;
            if (!setCommon(record->common, id, idLength, label, labelLength)) return CKR_FUNCTION_FAILED;
            return updateResult(pair->UpdateKeyPairAttr(record, nullptr));
        }
        break;
    }
    default:
        break;
    }
    GetPkcs11Log()->Warning("Pkcs11ObjectList::StoreCryptokiAndLabel():UpdateXxxAttr(): nepodporovany typ objektu; "
                            "CKA_ID / CKA_LABEL nebudou ulozeny");
    return CKR_OK;
}

// The data file gets the new value as a new file, made before the old one is deleted, so
// that a failure leaves the old data on the card. The name, label and ID go along.
CK_RV Pkcs11ObjectList::rewriteData(Core::FileStorage* data, const CK_ATTRIBUTE* attribute,
                                    Core::ReaderCardPair* pair) {
    Core::Log* log = GetPkcs11Log();
    if (group_ == nullptr) return CKR_FUNCTION_FAILED;
    CK_RV rv = group_->LoginFromPINCache(CKU_USER, pair);
    if (rv != CKR_OK) return rv;

    Core::CardFileStorageRecord* old = data->GetCardFileStorageRecord(pair);
    if (old == nullptr) {
        log->Error("Pkcs11Provider::C_SetAttributeValue():GetCardFileStorageRecord(): chyba pri dohledani zaznamu "
                   "objektu");
        pair->Logout();
        return CKR_FUNCTION_FAILED;
    }
    const orvostd::OrvoStringW name = old->name;
    const Core::CardCommonAttribute common = old->common;
    const uint32_t oldRecordId = old->recordId;

    Core::CardFileStorage payload(static_cast<const unsigned char*>(attribute->pValue), attribute->ulValueLen);
    Core::CardFileStorageRecord* record = nullptr;
    int code = pair->CreateFileStorage(name, Core::ContainerId_DATA, 0, payload, &record, false);
    if (code != Core::CoreOk || record == nullptr) {
        log->Error("Pkcs11Provider::C_SetAttributeValue():CreateFileStorage(): error %d", code);
        pair->Logout();
        return ObjectImport::CardWriteError(code);
    }
    if (common.HasId() || common.HasLabel()) {
        record->common = common;
        code = pair->UpdateFileStorageAttr(record);
        if (code != Core::CoreOk) {
            log->Error("Pkcs11Provider::C_SetAttributeValue():UpdateFileStorageAttr(): error %d", code);
            rv = ObjectImport::CardWriteError(code);
        }
    }
    bool oldDeleted = false;
    if (rv == CKR_OK) {
        old = pair->FindCardFileStorageRecordById(oldRecordId);
        code = old != nullptr ? pair->DeleteFileStorage(old) : static_cast<int>(Core::CoreNotFound);
        if (code != Core::CoreOk) {
            log->Error("Pkcs11Provider::C_SetAttributeValue():DeleteFileStorage(): chyba 0x%x", code);
            rv = CKR_FUNCTION_FAILED;
        } else {
            oldDeleted = true;
            log->Info("Pkcs11Provider::C_SetAttributeValue():DeleteFileStorage(): datafile smazan");
        }
    }
    if (rv == CKR_OK && (code = data->SetFileStorage(record, payload)) != Core::CoreOk) {
        log->Error("Pkcs11Provider::C_SetAttributeValue():SetFileStorage(): error %d", code);
        rv = CKR_FUNCTION_FAILED;
    }
    // One of the two files stays: the old one until it is deleted, then the new one.
    if (rv != CKR_OK && !oldDeleted) pair->DeleteFileStorage(record);
    pair->Logout();
    return rv;
}

CK_RV Pkcs11ObjectList::SetPkcs11AttributeValue(Core::CoreObject* object, CK_ATTRIBUTE* attribute,
                                                Core::ReaderCardPair* pair) {
    Core::Log* log = GetPkcs11Log();
    if (object == nullptr || attribute == nullptr || pair == nullptr) return CKR_FUNCTION_FAILED;
    log->Info("    attribute %p:", static_cast<void*>(attribute));
    log->Info("        attr->type: %s (0x%lx)", AttributeTypeName(attribute->type), attribute->type);
    Pkcs11Template::LogAttribute(*attribute, "        attr->value: ", Core::Log::LevelInfo);

    const bool canHold = holdsIdAndLabel(object);
    const bool dataObject = object->GetCoreObjectType() == Core::CoreObjectTypeFileStorage;
    const auto* value = static_cast<const unsigned char*>(attribute->pValue);
    const unsigned long length = attribute->ulValueLen;
    CK_RV rv;
    switch (attribute->type) {
    case CKA_LABEL:
        if ((canHold || dataObject) && length <= ObjectImport::LabelLimit(pair)) {
            rv = StoreCryptokiAndLabel(object, pair, nullptr, 0, value, length);
        } else {
            log->Warning("Pkcs11ObjectList::SetPkcs11AttributeValue(): atribut CKA_LABEL nelze ulozit na token ani "
                         "do pameti (prilis dlouhy LABEL nebo nepodporovany typ objektu); vracen bude vypocteny "
                         "LABEL");
            rv = CKR_ATTRIBUTE_VALUE_INVALID;
        }
        break;
    case CKA_ID:
        if (length > ObjectImport::kMaxIdLength) {
            log->Error("Pkcs11ObjectList::SetPkcs11AttributeValue(): prilis dlouhe CKA_ID: %lu bajtu", length);
            rv = CKR_ATTRIBUTE_VALUE_INVALID;
        } else if (canHold) {
            rv = StoreCryptokiAndLabel(object, pair, value, length, nullptr, 0);
        } else {
            log->Warning("Pkcs11ObjectList::SetPkcs11AttributeValue(): atribut CKA_ID nelze ulozit na token, "
                         "uklada se pouze do pameti; po novem nacteni karty bude vracen vypocteny CKA_ID");
            Core::tKeyIdentifier id = {};
            if (length != 0) std::memcpy(id.value, value, length);
            id.length = static_cast<uint32_t>(length);
            object->SetCryptokiID(id);
            rv = CKR_OK;
        }
        break;
    case CKA_VALUE:
        if (value == nullptr || length == 0)
            rv = CKR_ATTRIBUTE_VALUE_INVALID;
        else if (!dataObject)
            rv = CKR_ATTRIBUTE_TYPE_INVALID;
        else
            rv = rewriteData(static_cast<Core::FileStorage*>(object), attribute, pair);
        break;
    default:
        log->Error("        attr->type: nepodporovany typ attributu (0x%lx)", attribute->type);
        rv = CKR_ATTRIBUTE_TYPE_INVALID;
        break;
    }
    log->Info("        attr->ulValueLen: %ld", static_cast<long>(attribute->ulValueLen));
    return rv;
}

CK_RV Pkcs11ObjectList::SetAttributeValue(CK_OBJECT_HANDLE hObject, CK_ATTRIBUTE* attribute, Session* session,
                                          Core::ReaderCardPair* pair) {
    Core::Log* log = GetPkcs11Log();
    Locked<Core::CoreObject> object(FindObject(static_cast<unsigned long>(hObject), true));
    if (!object) return CKR_OBJECT_HANDLE_INVALID;
    if (session == nullptr || attribute == nullptr) return CKR_FUNCTION_FAILED;

    const CK_STATE state = session->GetState();
    const Core::CoreObjectFlags& flags = object->GetCoreObjectFlags();
    const bool user = state == CKS_RO_USER_FUNCTIONS || state == CKS_RW_USER_FUNCTIONS;
    const bool dataValue =
        object->GetCoreObjectType() == Core::CoreObjectTypeFileStorage && attribute->type == CKA_VALUE;
    if (!user && (flags.privateObject != 0 || dataValue)) {
        log->Debug(flags.privateObject != 0
                       ? "        privatni objekt -> nemohu nastavit atribut, dokud se uzivatel nezaloguje k tokenu"
                       : "        CKO_DATA/CKA_VALUE -> nemohu nastavit atribut, dokud se uzivatel nezaloguje k "
                         "tokenu");
        return CKR_USER_NOT_LOGGED_IN;
    }
    if (flags.token != 0 && (state == CKS_RO_PUBLIC_SESSION || state == CKS_RO_USER_FUNCTIONS)) {
        log->Debug("        token objekt -> nemohu nastavit atribut v read-only session");
        return CKR_SESSION_READ_ONLY;
    }
    return SetPkcs11AttributeValue(object.get(), attribute, pair);
}

CK_RV Pkcs11Provider::C_SetAttributeValue(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject,
                                          CK_ATTRIBUTE_PTR pTemplate, CK_ULONG ulCount) {
    static const char* const kMethod = "C_SetAttributeValue";
    GetPkcs11Log()->Info("Pkcs11Provider::C_SetAttributeValue(0x%lX, 0x%lx, %p, %lu)", hSession, hObject,
                         static_cast<void*>(pTemplate), ulCount);
    if (!IsInitialised()) return LogResult(kMethod, CKR_CRYPTOKI_NOT_INITIALIZED);
    if (hSession == 0 || hObject == 0 || pTemplate == nullptr) return LogResult(kMethod, CKR_ARGUMENTS_BAD);
    // A value that is said to have bytes but has no buffer cannot be read.
    for (CK_ULONG i = 0; i < ulCount; ++i)
        if (pTemplate[i].pValue == nullptr && pTemplate[i].ulValueLen != 0)
            return LogResult(kMethod, CKR_ARGUMENTS_BAD);

    CK_RV rv = [&]() -> CK_RV {
        try {
            CallFrame::Held held;
            CK_RV check = CallFrame::TakeSessionAndGroup(this, hSession, held);
            if (check != CKR_OK) return check;
            Pkcs11ObjectList* list = held.group->GetObjectList();
            if (list == nullptr) return CKR_FUNCTION_FAILED;
            Locked<Core::ReaderCardPair> pair(CallFrame::LockPair(this, held.slot));
            if (!pair) return CKR_FUNCTION_FAILED;
            ObjectImport::OpenCard card(pair.get());
            if (!card.IsOpen()) return CKR_FUNCTION_FAILED;
            CK_RV result = CKR_OK;
            for (CK_ULONG i = 0; i < ulCount && result == CKR_OK; ++i)
                result = list->SetAttributeValue(hObject, &pTemplate[i], held.session.get(), pair.get());
            return result;
        } catch (const std::bad_alloc&) {
            return CKR_HOST_MEMORY;
        }
    }();
    return LogResult(kMethod, rv);
}

}  // namespace Pkcs11
}  // namespace Vellumcrest
