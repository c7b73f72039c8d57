// Attribute reading: the value tables of data objects, certificates and RSA keys, and
// C_GetAttributeValue / C_GetObjectSize.
#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "core/Hash.h"
#include "core/Log.h"
#include "core/ProcessTrustVerifier.h"
#include "diag/Names.h"
#include "module/Globals.h"
#include "module/Locked.h"
#include "module/Pkcs11Provider.h"
#include "object/Pkcs11ObjectList.h"
#include "session/CallFrame.h"
#include "session/Session.h"

namespace Vellumcrest {
namespace Pkcs11 {

namespace {

// Size of the buffer for the proof of key origin.
constexpr unsigned long kProofBufferSize = 1024;

// Value writers; all share the length protocol: a null pValue asks for the length, a
// buffer that is too small gives CKR_BUFFER_TOO_SMALL, otherwise the value is copied.
CK_RV checkRoom(CK_ATTRIBUTE* attribute, CK_ULONG size, bool* copy) {
    *copy = false;
    if (attribute->pValue == nullptr) {
        attribute->ulValueLen = size;
        GetPkcs11Log()->Info("        attr->pValue: NULL");
        return CKR_OK;
    }
    if (attribute->ulValueLen < size) {
        attribute->ulValueLen = CK_UNAVAILABLE_INFORMATION;
        return CKR_BUFFER_TOO_SMALL;
    }
    *copy = true;
    return CKR_OK;
}

CK_RV setUlongValue(CK_ATTRIBUTE* attribute, CK_ULONG value) {
    bool copy;
    CK_RV rv = checkRoom(attribute, sizeof(CK_ULONG), &copy);
    if (!copy) return rv;
    std::memcpy(attribute->pValue, &value, sizeof(CK_ULONG));
    attribute->ulValueLen = sizeof(CK_ULONG);
    GetPkcs11Log()->Info("        attr->pValue: %lu (0x%lx)", value, value);
    return CKR_OK;
}

CK_RV setBoolValue(CK_ATTRIBUTE* attribute, bool value) {
    bool copy;
    CK_RV rv = checkRoom(attribute, sizeof(CK_BBOOL), &copy);
    if (!copy) return rv;
    CK_BBOOL flag = value ? CK_TRUE : CK_FALSE;
    std::memcpy(attribute->pValue, &flag, sizeof(CK_BBOOL));
    attribute->ulValueLen = sizeof(CK_BBOOL);
    GetPkcs11Log()->Info("        attr->pValue: %s", value ? "true" : "false");
    return CKR_OK;
}

// Keys and certificates carry no validity dates: the all-"0" date.
CK_RV setEmptyDateValue(CK_ATTRIBUTE* attribute) {
    CK_DATE date;
    std::memcpy(date.year, "0000", 4);
    std::memcpy(date.month, "00", 2);
    std::memcpy(date.day, "00", 2);
    bool copy;
    CK_RV rv = checkRoom(attribute, sizeof(CK_DATE), &copy);
    if (!copy) return rv;
    std::memcpy(attribute->pValue, &date, sizeof(CK_DATE));
    attribute->ulValueLen = sizeof(CK_DATE);
    GetPkcs11Log()->Info("        attr->pValue: %.2s.%.2s.%.4s", reinterpret_cast<const char*>(date.day),
                         reinterpret_cast<const char*>(date.month), reinterpret_cast<const char*>(date.year));
    return CKR_OK;
}

CK_RV setBytesValue(CK_ATTRIBUTE* attribute, const void* data, CK_ULONG size) {
    if (data == nullptr) size = 0;
    bool copy;
    CK_RV rv = checkRoom(attribute, size, &copy);
    if (!copy) return rv;
    if (size != 0) std::memcpy(attribute->pValue, data, size);
    attribute->ulValueLen = size;
    // The dump takes a 16-bit length; longer values are shown in part.
    unsigned short shown = static_cast<unsigned short>(std::min<CK_ULONG>(size, 0xFFFF));
    GetPkcs11Log()->InfoData(data, shown, "        attr->pValue:");
    return CKR_OK;
}

CK_RV setEmptyBytesValue(CK_ATTRIBUTE* attribute) { return setBytesValue(attribute, nullptr, 0); }

bool isVendorDefined(CK_ATTRIBUTE_TYPE type) { return (type & CKA_VENDOR_DEFINED) != 0; }

CK_RV unsupportedAttribute(CK_ATTRIBUTE* attribute, CK_RV preset) {
    const bool vendor = isVendorDefined(attribute->type);
    GetPkcs11Log()->Write(vendor ? Core::Log::LevelInfo : Core::Log::LevelError,
                          "        attr->type: nepodporovany typ attributu (0x%lx)%s", attribute->type,
                          vendor ? " - vendor defined " : "");
    attribute->ulValueLen = CK_UNAVAILABLE_INFORMATION;
    return vendor ? preset : CKR_ATTRIBUTE_TYPE_INVALID;
}

// Rows shared by every kind of object.
CK_RV commonAttribute(Core::CoreObject* object, CK_ATTRIBUTE* attribute, CK_RV preset) {
    const Core::CoreObjectFlags& flags = object->GetCoreObjectFlags();
    switch (attribute->type) {
    case CKA_TOKEN:
        return setBoolValue(attribute, flags.token != 0);
    case CKA_PRIVATE:
        return setBoolValue(attribute, flags.privateObject != 0);
    case CKA_LABEL:
        return setEmptyBytesValue(attribute);
    case CKA_MODIFIABLE:
        return setBoolValue(attribute, false);
    case CKA_OBJECT_ADDRESS: {
        const void* address = object;
        return setBytesValue(attribute, &address, sizeof(address));
    }
    default:
        return unsupportedAttribute(attribute, preset);
    }
}

// CKA_LABEL and CKA_ID of any card object class that offers them.
template <typename Object>
CK_RV setLabelValue(Object* object, CK_ATTRIBUTE* attribute, Core::ReaderCardPair* pair) {
    unsigned long length = 0;
    const unsigned char* label = object->GetAttrLabel(pair, &length);
    return setBytesValue(attribute, label, length);
}

template <typename Object>
CK_RV setIdValue(Object* object, CK_ATTRIBUTE* attribute, Core::ReaderCardPair* pair) {
    unsigned long length = 0;
    const unsigned char* id = object->GetAttrId(pair, &length);
    return setBytesValue(attribute, id, length);
}

// Each table answers the attributes it knows and returns true; false sends the
// attribute on to the common table.
bool dataObjectAttribute(Core::FileStorage* data, CK_ATTRIBUTE* attribute, Core::ReaderCardPair* pair,
                         CK_RV* rv) {
    switch (attribute->type) {
    case CKA_CLASS:
        *rv = setUlongValue(attribute, CKO_DATA);
        return true;
    case CKA_LABEL:
        *rv = setLabelValue(data, attribute, pair);
        return true;
    case CKA_APPLICATION:
    case CKA_OBJECT_ID:
        *rv = setEmptyBytesValue(attribute);
        return true;
    case CKA_VALUE:
        *rv = setBytesValue(attribute, data->GetFileStorageData(), data->GetFileStorageDataSize());
        return true;
    default:
        return false;
    }
}

CK_ULONG certificateCategory(const Core::Certificate* certificate, const Core::CardCertificateRecord* record) {
    if ((record->flags & Core::CardRecordFlagRoot) != 0) return 2;
    if ((record->flags & Core::CardRecordFlagClient) != 0) return 1;
    if ((record->flags & Core::CardRecordFlagPartner) != 0)
        return certificate->IsCACertificate() || certificate->IsSelfSigned() ? 2 : 3;
    return 0;
}

bool certificateAttribute(Core::Certificate* certificate, CK_ATTRIBUTE* attribute, Core::ReaderCardPair* pair,
                          CK_RV* rv) {
    switch (attribute->type) {
    case CKA_CLASS:
        *rv = setUlongValue(attribute, CKO_CERTIFICATE);
        return true;
    case CKA_LABEL:
        *rv = setLabelValue(certificate, attribute, pair);
        return true;
    case CKA_ID:
        *rv = setIdValue(certificate, attribute, pair);
        return true;
    case CKA_VALUE:
        *rv = setBytesValue(attribute, certificate->GetCertificateData(), certificate->GetCertificateDataSize());
        return true;
    case CKA_SUBJECT:
        *rv = setBytesValue(attribute, certificate->GetSubjectDER(), certificate->GetSubjectDERSize());
        return true;
    case CKA_ISSUER:
        *rv = setBytesValue(attribute, certificate->GetIssuerDER(), certificate->GetIssuerDERSize());
        return true;
    case CKA_SERIAL_NUMBER:
        *rv = setBytesValue(attribute, certificate->GetSerialNumberDER(), certificate->GetSerialNumberDERSize());
        return true;
    case CKA_CERTIFICATE_TYPE:
        *rv = setUlongValue(attribute, CKC_X_509);
        return true;
    case CKA_JAVA_MIDP_SECURITY_DOMAIN:
        *rv = setUlongValue(attribute, 0);
        return true;
    case CKA_TRUSTED:
    case CKA_CERTIFICATE_CATEGORY: {
        const Core::CardCertificateRecord* record =
            pair != nullptr ? certificate->GetCardCertificateRecord(pair) : nullptr;
        if (record == nullptr) {
            *rv = CKR_FUNCTION_FAILED;
        } else if (attribute->type == CKA_TRUSTED) {
            *rv = setBoolValue(attribute, (record->flags & Core::CardRecordFlagRoot) != 0);
        } else {
            *rv = setUlongValue(attribute, certificateCategory(certificate, record));
        }
        return true;
    }
    case CKA_URL:
    case CKA_HASH_OF_SUBJECT_PUBLIC_KEY:
    case CKA_HASH_OF_ISSUER_PUBLIC_KEY:
        *rv = setEmptyBytesValue(attribute);
        return true;
    case CKA_CHECK_VALUE: {
        Core::HashSha1 sha1;
        sha1.Update(certificate->GetCertificateData(), certificate->GetCertificateDataSize());
        sha1.Final();
        *rv = setBytesValue(attribute, sha1.GetHash(), 3);
        return true;
    }
    case CKA_START_DATE:
    case CKA_END_DATE:
        *rv = setEmptyDateValue(attribute);
        return true;
    default:
        return false;
    }
}

bool publicKeyAttribute(Core::RsaPublicKey* key, bool rsa, CK_ATTRIBUTE* attribute, Core::ReaderCardPair* pair,
                        CK_RV* rv) {
    const Core::CoreObjectFlags& flags = key->GetCoreObjectFlags();
    switch (attribute->type) {
    case CKA_LABEL:
        *rv = setLabelValue(key, attribute, pair);
        return true;
    case CKA_ID:
        *rv = setIdValue(key, attribute, pair);
        return true;
    case CKA_SUBJECT:
    case CKA_WRAP_TEMPLATE:
        *rv = setEmptyBytesValue(attribute);
        return true;
    case CKA_TRUSTED:
        *rv = setBoolValue(attribute, flags.extractable == 0);
        return true;
    case CKA_ENCRYPT:
        *rv = setBoolValue(attribute, flags.encrypt != 0);
        return true;
    case CKA_VERIFY:
        *rv = setBoolValue(attribute, flags.verify != 0);
        return true;
    case CKA_WRAP:
    case CKA_VERIFY_RECOVER:
    case CKA_DERIVE:
        *rv = setBoolValue(attribute, false);
        return true;
    case CKA_MODULUS:
        if (!rsa) return false;
        *rv = setBytesValue(attribute, key->GetModulus(), key->GetModulusSize());
        return true;
    case CKA_MODULUS_BITS:
        if (!rsa) return false;
        *rv = setUlongValue(attribute, static_cast<CK_ULONG>(key->GetModulusSize()) * 8);
        return true;
    case CKA_PUBLIC_EXPONENT:
        if (!rsa) return false;
        *rv = setBytesValue(attribute, key->GetExponent(), key->GetExponentSize());
        return true;
    case CKA_LOCAL: {
        const Core::CardPublicKeyRecord* record = pair != nullptr ? key->GetCardPublicKeyRecord(pair) : nullptr;
        *rv = record == nullptr ? CKR_FUNCTION_FAILED
                                : setBoolValue(attribute, (record->flags & Core::CardRecordFlagImported) == 0);
        return true;
    }
    case CKA_ESIGN:
        *rv = setBoolValue(attribute, flags.esign != 0);
        return true;
    default:
        return false;
    }
}

// The card signs with a fresh nonce each time, so two proofs of one key differ, in their
// length too. The first proof computed for a key (named by its modulus and exponent) is
// kept and given out again, so that a length query and the read after it agree and the
// value can be searched for.
class ProofCache {
public:
    // The types are local to this file, so that the container code made for them stays
    // inside the library.
    struct KeyName {
        std::vector<unsigned char> bytes;
        bool operator<(const KeyName& other) const { return bytes < other.bytes; }
    };
    struct Proof {
        std::vector<unsigned char> bytes;
    };

    static ProofCache& Get() {
        static ProofCache instance;
        return instance;
    }
    static KeyName NameOf(const Core::RsaPublicKey* key) {
        KeyName name;
        unsigned long modulusSize = key->GetModulusSize();
        name.bytes.reserve(sizeof modulusSize + modulusSize + key->GetExponentSize());
        const unsigned char* size = reinterpret_cast<const unsigned char*>(&modulusSize);
        name.bytes.insert(name.bytes.end(), size, size + sizeof modulusSize);
        name.bytes.insert(name.bytes.end(), key->GetModulus(), key->GetModulus() + modulusSize);
        name.bytes.insert(name.bytes.end(), key->GetExponent(), key->GetExponent() + key->GetExponentSize());
        return name;
    }
    bool Find(const KeyName& name, Proof* proof) {
        std::lock_guard<std::mutex> guard(mutex_);
        auto found = proofs_.find(name);
        if (found == proofs_.end()) return false;
        *proof = found->second;
        return true;
    }
    void Store(const KeyName& name, const Proof& proof) {
        std::lock_guard<std::mutex> guard(mutex_);
        if (proofs_.size() >= kMaxEntries) proofs_.clear();
        proofs_[name] = proof;
    }

private:
    static constexpr size_t kMaxEntries = 256;
    std::mutex mutex_;
    std::map<KeyName, Proof> proofs_;
};

CK_RV proofOfKeyOrigin(Core::RsaPublicKey* publicKey, CK_ATTRIBUTE* attribute, Core::ReaderCardPair* pair) {
    const Core::CardPublicKeyRecord* record = publicKey->GetCardPublicKeyRecord(pair);
    unsigned char buffer[kProofBufferSize];
    unsigned long length = kProofBufferSize;
    int code = record != nullptr ? pair->ComputeProof(record, buffer, &length) : Core::CoreInvalidArgument;
    if (code == Core::CoreOk) {
        ProofCache::KeyName name = ProofCache::NameOf(publicKey);
        ProofCache::Proof proof;
        if (!ProofCache::Get().Find(name, &proof)) {
            proof.bytes.assign(buffer, buffer + std::min(length, kProofBufferSize));
            ProofCache::Get().Store(name, proof);
        }
        return setBytesValue(attribute, proof.bytes.data(), proof.bytes.size());
    }
    if (code == Core::CoreProofNotAvailable) {
        GetPkcs11Log()->Error("Dukaz o puvodu klice nelze vytvorit.");
        return CKR_ATTRIBUTE_SENSITIVE;
    }
    GetPkcs11Log()->Error("Vellumcrest::Core::ReaderCardPair:ComputeProof(): error %d", code);
    return CKR_FUNCTION_FAILED;
}

bool privateKeyAttribute(Core::RsaPrivateKey* key, bool rsa, CK_ATTRIBUTE* attribute, Core::ReaderCardPair* pair,
                         CK_RV* rv) {
    const Core::CoreObjectFlags& flags = key->GetCoreObjectFlags();
    switch (attribute->type) {
    case CKA_LABEL:
        *rv = setLabelValue(key, attribute, pair);
        return true;
    case CKA_ID:
        *rv = setIdValue(key, attribute, pair);
        return true;
    case CKA_SUBJECT:
    case CKA_UNWRAP_TEMPLATE:
        *rv = setEmptyBytesValue(attribute);
        return true;
    case CKA_SENSITIVE:
        *rv = setBoolValue(attribute, true);
        return true;
    case CKA_DECRYPT:
        *rv = setBoolValue(attribute, flags.decrypt != 0);
        return true;
    case CKA_SIGN:
        *rv = setBoolValue(attribute, flags.sign != 0);
        return true;
    case CKA_UNWRAP:
    case CKA_SIGN_RECOVER:
    case CKA_DERIVE:
    case CKA_WRAP_WITH_TRUSTED:
        *rv = setBoolValue(attribute, false);
        return true;
    case CKA_EXTRACTABLE:
        *rv = setBoolValue(attribute, flags.extractable != 0);
        return true;
    case CKA_LOCAL:
    case CKA_NEVER_EXTRACTABLE:
    case CKA_ALWAYS_SENSITIVE: {
        const Core::CardPrivateKeyRecord* record = pair != nullptr ? key->GetCardPrivateKeyRecord(pair) : nullptr;
        if (record == nullptr) {
            *rv = CKR_FUNCTION_FAILED;
            return true;
        }
        bool madeOnCard = (record->flags & Core::CardRecordFlagImported) == 0;
        *rv = setBoolValue(attribute, attribute->type == CKA_LOCAL ? madeOnCard
                                                                   : madeOnCard && flags.extractable == 0);
        return true;
    }
    case CKA_ALWAYS_AUTHENTICATE:
        *rv = setBoolValue(attribute, flags.esign != 0 && !Core::GetProcTrustVerifier()->IsTrusted());
        return true;
    case CKA_MODULUS:
    case CKA_PUBLIC_EXPONENT:
    case CKA_VELLUMCREST_PROOF: {
        if (!rsa || pair == nullptr) return false;
        std::unique_ptr<Core::RsaPublicKey> publicKey(key->GetPublicKey(pair));
        if (!publicKey) return false;
        if (attribute->type == CKA_MODULUS)
            *rv = setBytesValue(attribute, publicKey->GetModulus(), publicKey->GetModulusSize());
        else if (attribute->type == CKA_PUBLIC_EXPONENT)
            *rv = setBytesValue(attribute, publicKey->GetExponent(), publicKey->GetExponentSize());
        else
            *rv = proofOfKeyOrigin(publicKey.get(), attribute, pair);
        return true;
    }
    case CKA_PRIVATE_EXPONENT:
    case CKA_PRIME_1:
    case CKA_PRIME_2:
    case CKA_EXPONENT_1:
    case CKA_EXPONENT_2:
    case CKA_COEFFICIENT:
        if (!rsa) return false;
        *rv = CKR_ATTRIBUTE_SENSITIVE;
        return true;
    case CKA_ESIGN:
        *rv = setBoolValue(attribute, flags.esign != 0);
        return true;
    default:
        return false;
    }
}

bool keyAttribute(Core::CoreObject* object, CK_ATTRIBUTE* attribute, Core::ReaderCardPair* pair, CK_RV* preset,
                  CK_RV* rv) {
    const CK_OBJECT_CLASS keyClass = Pkcs11ObjectList::GetPkcs11KeyClass(object);
    const CK_KEY_TYPE keyType = Pkcs11ObjectList::GetPkcs11KeyType(object);
    const bool rsa = keyType == CKK_RSA;
    switch (attribute->type) {
    case CKA_CLASS:
        *rv = setUlongValue(attribute, keyClass);
        return true;
    case CKA_KEY_TYPE:
        *rv = setUlongValue(attribute, keyType);
        return true;
    case CKA_START_DATE:
    case CKA_END_DATE:
        *rv = setEmptyDateValue(attribute);
        return true;
    default:
        break;
    }
    if (keyClass == CKO_PUBLIC_KEY) {
        auto* key = dynamic_cast<Core::RsaPublicKey*>(object);
        return key != nullptr && publicKeyAttribute(key, rsa, attribute, pair, rv);
    }
    if (keyClass == CKO_PRIVATE_KEY) {
        auto* key = dynamic_cast<Core::RsaPrivateKey*>(object);
        return key != nullptr && privateKeyAttribute(key, rsa, attribute, pair, rv);
    }
    *preset = CKR_ATTRIBUTE_VALUE_INVALID;
    return false;
}

}  // namespace

CK_RV Pkcs11ObjectList::GetPkcs11AttributeValue(Core::CoreObject* object, CK_ATTRIBUTE* attribute,
                                                Core::ReaderCardPair* pair) {
    Core::Log* log = GetPkcs11Log();
    if (attribute == nullptr) return CKR_ARGUMENTS_BAD;
    if (pair == nullptr) log->Error("Pkcs11ObjectList::GetPkcs11AttributeValue(readerCardPair = NULL)");
    log->Info("    attribute %p:", static_cast<void*>(attribute));
    log->Info("        attr->type: %s (0x%lx)", AttributeTypeName(attribute->type), attribute->type);

    CK_RV preset = CKR_OK;
    CK_RV rv = CKR_FUNCTION_FAILED;
    bool answered = object == nullptr;
    if (object != nullptr) {
        switch (object->GetCoreObjectType()) {
        case Core::CoreObjectTypeFileStorage:
            if (pair == nullptr) {
                preset = CKR_FUNCTION_FAILED;
            } else if (auto* data = dynamic_cast<Core::FileStorage*>(object)) {
                answered = dataObjectAttribute(data, attribute, pair, &rv);
            }
            break;
        case Core::CoreObjectTypeCertificate:
            if (auto* certificate = dynamic_cast<Core::Certificate*>(object))
                answered = certificateAttribute(certificate, attribute, pair, &rv);
            break;
        case Core::CoreObjectTypeKey:
            answered = keyAttribute(object, attribute, pair, &preset, &rv);
            break;
        default:
            break;
        }
        if (!answered) rv = commonAttribute(object, attribute, preset);
    }

    if (rv != CKR_OK) attribute->ulValueLen = CK_UNAVAILABLE_INFORMATION;
    log->Info("        attr->ulValueLen: %ld", static_cast<long>(attribute->ulValueLen));
    return rv;
}

CK_RV Pkcs11ObjectList::GetAttributeValue(CK_OBJECT_HANDLE hObject, CK_ATTRIBUTE* attribute, Session* session,
                                          Core::ReaderCardPair* pair) {
    Locked<Core::CoreObject> object(FindObject(static_cast<unsigned long>(hObject), true));
    if (!object) return CKR_OBJECT_HANDLE_INVALID;
    if (session == nullptr || attribute == nullptr) return CKR_FUNCTION_FAILED;

    CK_STATE state = session->GetState();
    if ((state == CKS_RO_PUBLIC_SESSION || state == CKS_RW_PUBLIC_SESSION) &&
        object->GetCoreObjectFlags().privateObject != 0) {
        GetPkcs11Log()->Debug("        privatni objekt -> nemohu vratit atribut");
        attribute->ulValueLen = CK_UNAVAILABLE_INFORMATION;
        return CKR_ATTRIBUTE_SENSITIVE;
    }
    return GetPkcs11AttributeValue(object.get(), attribute, pair);
}

CK_RV Pkcs11Provider::C_GetAttributeValue(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject,
                                          CK_ATTRIBUTE_PTR pTemplate, CK_ULONG ulCount) {
    GetPkcs11Log()->Info("Pkcs11Provider::C_GetAttributeValue(0x%lX, 0x%lX, %p, %lu)", hSession, hObject,
                         static_cast<void*>(pTemplate), ulCount);
    if (!IsInitialised()) return LogResult("C_GetAttributeValue", CKR_CRYPTOKI_NOT_INITIALIZED);
    if (hSession == 0 || hObject == 0 || pTemplate == nullptr)
        return LogResult("C_GetAttributeValue", CKR_ARGUMENTS_BAD);

    CK_RV rv = [&]() -> CK_RV {
        CallFrame::Held held;
        CK_RV check = CallFrame::TakeSessionAndGroup(this, hSession, held);
        if (check != CKR_OK) return check;
        Pkcs11ObjectList* list = held.group->GetObjectList();
        if (list == nullptr) return CKR_FUNCTION_FAILED;
        Locked<Core::ReaderCardPair> pair(CallFrame::LockPair(this, held.slot));
        if (!pair) return CKR_FUNCTION_FAILED;

        for (CK_ULONG i = 0; i < ulCount; ++i) {
            CK_RV result = list->GetAttributeValue(hObject, &pTemplate[i], held.session.get(), pair.get());
            if (result != CKR_OK) return result;
        }
        return CKR_OK;
    }();
    return LogResult("C_GetAttributeValue", rv);
}

CK_RV Pkcs11Provider::C_GetObjectSize(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject, CK_ULONG_PTR pulSize) {
    GetPkcs11Log()->Info("Pkcs11Provider::C_GetObjectSize(0x%lX, 0x%lX, %p)", hSession, hObject,
                         static_cast<void*>(pulSize));
    if (!IsInitialised()) return LogResult("C_GetObjectSize", CKR_CRYPTOKI_NOT_INITIALIZED);
    if (hSession == 0 || hObject == 0 || pulSize == nullptr) return LogResult("C_GetObjectSize", CKR_ARGUMENTS_BAD);

    CK_RV rv = [&]() -> CK_RV {
        CallFrame::Held held;
        CK_RV check = CallFrame::TakeSessionAndGroup(this, hSession, held);
        if (check != CKR_OK) return check;
        Pkcs11ObjectList* list = held.group->GetObjectList();
        if (list == nullptr) return CKR_FUNCTION_FAILED;
        Locked<Core::CoreObject> object(list->FindObject(static_cast<unsigned long>(hObject), true));
        if (!object) return CKR_OBJECT_HANDLE_INVALID;

        CK_ULONG size = 0;
        if (object->GetCoreObjectType() == Core::CoreObjectTypeCertificate) {
            if (auto* certificate = dynamic_cast<Core::Certificate*>(object.get()))
                size = certificate->GetCertificateDataSize();
        }
        *pulSize = size;
        return CKR_OK;
    }();
    return LogResult("C_GetObjectSize", rv);
}

}  // namespace Pkcs11
}  // namespace Vellumcrest
