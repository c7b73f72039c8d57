// Pkcs11ObjectList: filling from the card, key pairs made on the card, session objects,
// and the mapping of core key kinds to PKCS#11 classes and key types.
#include "object/Pkcs11ObjectList.h"

#include <algorithm>
#include <memory>
#include <new>

#include "core/Log.h"
#include "module/Globals.h"

namespace Vellumcrest {
namespace Pkcs11 {

namespace {

constexpr uint32_t kAllKindsLoaded = 0x17;

CK_RV coreLoadError(int code) { return code == Core::CoreOutOfMemory ? CKR_HOST_MEMORY : CKR_FUNCTION_FAILED; }

// Flags of a key of a pair the card has just made: the same as those the keys read from
// the card get (token objects, the private key private and not extractable, usage from
// the key-pair flags).
Core::CoreObjectFlags newKeyFlags(const Core::CardCommonAttribute& common, int usage, bool privateKey) {
    constexpr int kMaySign = Core::KeyPairFlagSign | Core::KeyPairFlagEsign | Core::KeyPairFlagApplication;
    Core::CoreObjectFlags flags = {};
    flags.token = 1;
    flags.modifiable = 1;
    const std::vector<unsigned char>& id = common.GetId();
    flags.id.length = static_cast<uint32_t>(std::min(id.size(), sizeof flags.id.value));
    std::copy(id.begin(), id.begin() + flags.id.length, flags.id.value);
    flags.esign = (usage & Core::KeyPairFlagEsign) != 0;
    if (privateKey) {
        flags.privateObject = 1;
        flags.decrypt = (usage & Core::KeyPairFlagDecrypt) != 0;
        flags.sign = (usage & kMaySign) != 0;
    } else {
        flags.extractable = 1;
        flags.encrypt = (usage & Core::KeyPairFlagDecrypt) != 0;
        flags.verify = (usage & kMaySign) != 0;
    }
    return flags;
}

}  // namespace

Pkcs11ObjectList::Pkcs11ObjectList() = default;

// The objects still in the list are released by the core list's destructor.
Pkcs11ObjectList::~Pkcs11ObjectList() = default;

CK_RV Pkcs11ObjectList::AddAllObjectsFromCard(Core::ReaderCardPair* pair) {
    if (pair == nullptr) return CKR_FUNCTION_FAILED;

    int code = CoreObjectList::AddAllObjectFromCard(pair);
    if (code != Core::CoreOk) return coreLoadError(code);

    loadedKinds_ = kAllKindsLoaded;

    CK_RV rv = CKR_OK;
    unsigned long handle = 0;
    Core::CoreObject* object = GetFirst(handle, true);
    while (object != nullptr && handle != 0 && rv == CKR_OK) {
        code = object->SetCryptokiID(pair);
        if (code != Core::CoreOk) {
            rv = coreLoadError(code);
            GetPkcs11Log()->Error(
                "Pkcs11ObjectList::AddAllObjectsFromCard() chyba pri nastavovani cryptoki ID objektu hObject=0x%lx",
                handle);
        }
        object->Unlock();
        if (rv != CKR_OK) break;
        object = GetNext(handle, true);
    }
    return rv;
}

bool Pkcs11ObjectList::IsLoaded(uint32_t mask) const {
    if (mask == 0) return loadedKinds_ != 0;
    return (loadedKinds_ & mask) != 0;
}

CK_RV Pkcs11ObjectList::AddKeyPair(Core::ReaderCardPair* pair, Core::CardPublicKeyRecord* publicRecord,
                                   Core::CardPrivateKeyRecord* privateRecord, CK_OBJECT_HANDLE* phPublicKey,
                                   CK_OBJECT_HANDLE* phPrivateKey, const unsigned char* id,
                                   unsigned long idLength, const unsigned char* label,
                                   unsigned long labelLength) {
    if (phPublicKey != nullptr) *phPublicKey = 0;
    if (phPrivateKey != nullptr) *phPrivateKey = 0;
    if (pair == nullptr || publicRecord == nullptr || privateRecord == nullptr) return CKR_FUNCTION_FAILED;

    const bool hasId = id != nullptr && idLength != 0;
    const bool hasLabel = label != nullptr && labelLength != 0;
    if (hasId || hasLabel) {
        if (hasId) {
            if (!publicRecord->common.SetId(id, idLength)) return CKR_FUNCTION_FAILED;
            if (!privateRecord->common.SetId(id, idLength)) return CKR_FUNCTION_FAILED;
        }
        if (hasLabel) {
            const char* text = reinterpret_cast<const char*>(label);
            if (!publicRecord->common.SetLabelUtf8(text, labelLength)) return CKR_FUNCTION_FAILED;
            if (!privateRecord->common.SetLabelUtf8(text, labelLength)) return CKR_FUNCTION_FAILED;
        }
        if (pair->UpdateKeyPairAttr(privateRecord, publicRecord) != Core::CoreOk) return CKR_FUNCTION_FAILED;
    }

    std::unique_ptr<Core::CardPublicKey> cardKey(pair->GetCardPublicKey(publicRecord, false));
    if (!cardKey) return CKR_FUNCTION_FAILED;

    std::unique_ptr<Core::RsaPublicKey> publicKey(new (std::nothrow) Core::RsaPublicKey());
    if (!publicKey) return CKR_HOST_MEMORY;
    if (publicKey->SetPublicKey(publicRecord, cardKey.get()) != Core::CoreOk) return CKR_FUNCTION_FAILED;
    if (publicKey->SetCryptokiID(pair) != Core::CoreOk) return CKR_FUNCTION_FAILED;
    publicKey->SetCoreObjectFlags(newKeyFlags(publicRecord->common, publicRecord->keyPairFlags, false));
    unsigned long publicHandle = Add(publicKey.get());
    if (publicHandle == 0) return CKR_HOST_MEMORY;
    Core::RsaPublicKey* publicObject = publicKey.release();

    CK_RV rv = CKR_OK;
    unsigned long privateHandle = 0;
    std::unique_ptr<Core::RsaPrivateKey> privateKey(new (std::nothrow) Core::RsaPrivateKey());
    if (!privateKey) {
        rv = CKR_HOST_MEMORY;
    } else if (privateKey->SetPrivateKey(privateRecord) != Core::CoreOk ||
               privateKey->SetCryptokiID(pair) != Core::CoreOk) {
        rv = CKR_FUNCTION_FAILED;
    } else {
        privateKey->SetCoreObjectFlags(newKeyFlags(privateRecord->common, privateRecord->keyPairFlags, true));
        privateHandle = Add(privateKey.get());
        if (privateHandle == 0) rv = CKR_HOST_MEMORY; else privateKey.release();
    }

    if (rv != CKR_OK) {
        Remove(publicHandle);
        delete publicObject;
        return rv;
    }
    if (phPublicKey != nullptr) *phPublicKey = publicHandle;
    if (phPrivateKey != nullptr) *phPrivateKey = privateHandle;
    return CKR_OK;
}

void Pkcs11ObjectList::DestroySessionObjects(CK_SESSION_HANDLE hSession) {
    if (GetCount() < 1) return;
    bool removed = true;
    while (removed) {
        removed = false;
        unsigned long handle = 0;
        for (Core::CoreObject* object = GetFirst(handle, true); object != nullptr && handle != 0;
             object = GetNext(handle, true)) {
            if (object->GetCoreObjectFlags().token == 0 && object->GetPkcs11OwnerSession() == hSession) {
                GetPkcs11Log()->Info(
                    "Pkcs11ObjectList::DestroySessionObjects(0x%lx): odstranuji session objekt (hObject=0x%lx)",
                    hSession, handle);
                Remove(handle);
                object->Unlock();
                delete object;
                removed = true;
                break;
            }
            object->Unlock();
        }
    }
}

CK_OBJECT_CLASS Pkcs11ObjectList::GetPkcs11KeyClass(Core::CoreObject* object) {
    if (object == nullptr || object->GetCoreObjectType() != Core::CoreObjectTypeKey) return 0;
    const Core::Key* key = static_cast<const Core::Key*>(object);
    switch (key->GetKeyType()) {
    case Core::KeyTypeRsaPublicKey:
        return CKO_PUBLIC_KEY;
    case Core::KeyTypeRsaPrivateKey:
        return CKO_PRIVATE_KEY;
    case Core::KeyTypeRsaKeyPair:
        GetPkcs11Log()->Error("Pkcs11ObjectList::GetPkcs11KeyClass(): nepodporovany typ klice - KeyTypeRsaKeyPair");
        return 0;
    default:
        GetPkcs11Log()->Error("Pkcs11ObjectList::GetPkcs11KeyClass(): nepodporovany typ klice - 0x%x",
                              static_cast<unsigned>(key->GetKeyType()));
        return 0;
    }
}

CK_KEY_TYPE Pkcs11ObjectList::GetPkcs11KeyType(Core::CoreObject* object) {
    if (object == nullptr || object->GetCoreObjectType() != Core::CoreObjectTypeKey) return CKK_VENDOR_DEFINED;
    const Core::Key* key = static_cast<const Core::Key*>(object);
    switch (key->GetKeyType()) {
    case Core::KeyTypeRsaPublicKey:
    case Core::KeyTypeRsaPrivateKey:
    case Core::KeyTypeRsaKeyPair:
        return CKK_RSA;
    case Core::KeyTypeDes:
        return CKK_DES;
    case Core::KeyTypeDes3:
        return CKK_DES3;
    case Core::KeyTypeRc2:
        return CKK_RC2;
    case Core::KeyTypeRc4:
        return CKK_RC4;
    default:
        GetPkcs11Log()->Error("Pkcs11ObjectList::GetPkcs11KeyType(): nepodporovany PKCS11 typ klice - 0x%x",
                              static_cast<unsigned>(key->GetKeyType()));
        return CKK_VENDOR_DEFINED;
    }
}

}  // namespace Pkcs11
}  // namespace Vellumcrest
