// APDU server: key generation and import, creation and deletion of containers,
// certificates, key pairs and data files, their attributes, and the erase of the card.
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>

#include "core/CardApduServer.h"
#include "core/CardCrypto.h"
#include "core/OrvoString.h"
#include "core/Reader.h"

namespace Vellumcrest {
namespace Core {

using namespace Apdu;

namespace {

// The RSA components of a key, as an import through the module hands them to the card.
bool paramOf(EVP_PKEY* key, RsaParam* param) {
    struct Component {
        const char* name;
        void (RsaParam::*set)(const unsigned char*, unsigned long);
    };
    static const Component kComponents[] = {
        {OSSL_PKEY_PARAM_RSA_N, &RsaParam::SetModulus},
        {OSSL_PKEY_PARAM_RSA_E, &RsaParam::SetExponent},
        {OSSL_PKEY_PARAM_RSA_D, &RsaParam::SetD},
        {OSSL_PKEY_PARAM_RSA_FACTOR1, &RsaParam::SetP},
        {OSSL_PKEY_PARAM_RSA_FACTOR2, &RsaParam::SetQ},
        {OSSL_PKEY_PARAM_RSA_EXPONENT1, &RsaParam::SetDP},
        {OSSL_PKEY_PARAM_RSA_EXPONENT2, &RsaParam::SetDQ},
        {OSSL_PKEY_PARAM_RSA_COEFFICIENT1, &RsaParam::SetInverseQ},
    };
    for (const Component& component : kComponents) {
        BIGNUM* value = nullptr;
        if (EVP_PKEY_get_bn_param(key, component.name, &value) != 1 || value == nullptr) return false;
        SecureBytes bytes(static_cast<size_t>(BN_num_bytes(value)));
        BN_bn2bin(value, bytes.data());
        BN_clear_free(value);
        (param->*component.set)(bytes.data(), bytes.size());
    }
    return true;
}

orvostd::OrvoStringW nameOf(const Bytes* value) {
    return value != nullptr ? Utf8ToOrvoStringW(reinterpret_cast<const char*>(value->data()), value->size())
                            : orvostd::OrvoStringW();
}

// Sets a record's label and identifier: an absent tag clears the value.
bool takeAttributes(const TlvReader& tlv, CardCommonAttribute* common) {
    const Bytes* label = tlv.Find(TagLabel);
    const Bytes* id = tlv.Find(TagIdentifier);
    return common->SetLabelUtf8(label != nullptr ? reinterpret_cast<const char*>(label->data()) : nullptr,
                                label != nullptr ? label->size() : 0) &&
           common->SetId(id != nullptr ? id->data() : nullptr, id != nullptr ? id->size() : 0);
}

// The records of a key pair named by tags 89 and 8A; an absent tag or 0 names none. False
// when a value is malformed or neither record is named.
bool keyPairIds(const TlvReader& tlv, uint32_t* privateId, uint32_t* publicId) {
    if ((tlv.Has(TagPrivateKey) && !tlv.U32(TagPrivateKey, privateId)) ||
        (tlv.Has(TagPublicKey) && !tlv.U32(TagPublicKey, publicId)))
        return false;
    return *privateId != 0 || *publicId != 0;
}

}  // namespace

uint16_t CardApduServer::generateKeyPair(const Command& command, Bytes* out) {
    bool import = command.cla == ClaProprietary;
    if (import ? (command.p1 != 0x01 || command.p2 != 0x00) : (command.p1 != 0x80 || command.p2 != 0x00))
        return SwWrongP1P2;
    TlvReader tlv;
    uint32_t containerId = 0, flags = 0;
    if (!tlv.Parse(command.data) || !tlv.U32(TagContainer, &containerId) || !tlv.U32(TagKeyPairFlags, &flags))
        return SwWrongData;
    CardContainerRecord* container = pair_->FindCardContainerRecordById(containerId);
    if (container == nullptr) return SwNotFound;
    RsaParam param;
    if (import) {
        const Bytes* der = tlv.Find(TagContent);
        if (der == nullptr || der->empty()) return SwWrongData;
        SecureBytes secret(der->data(), der->size());
        OPENSSL_cleanse(const_cast<unsigned char*>(der->data()), der->size());
        PkeyPtr key = CardCrypto::PrivateKeyFromDer(secret);
        if (!key || EVP_PKEY_get_base_id(key.get()) != EVP_PKEY_RSA || !paramOf(key.get(), &param)) return SwWrongData;
    }
    CardPrivateKeyRecord* privateKey = nullptr;
    CardPublicKeyRecord* publicKey = nullptr;
    int rc = pair_->GenerateKeyPair(container, static_cast<int>(flags), &privateKey, &publicKey,
                                    import ? &param : nullptr);
    if (rc != CoreOk) return status(rc);
    TlvWriter response;
    response.AddU32(TagPrivateKey, privateKey->recordId).AddU32(TagPublicKey, publicKey->recordId);
    *out = response.Take();
    return SwOk;
}

uint16_t CardApduServer::create(const Command& command, Bytes* out) {
    TlvReader tlv;
    if (!tlv.Parse(command.data)) return SwWrongData;
    const Bytes* content = tlv.Find(TagContent);
    uint32_t recordId = 0;
    int rc;
    switch (command.p1) {
    case ItemContainer: {
        unsigned type = 0;
        uint32_t flags = 0;
        if (command.p2 != 0x00) return SwWrongP1P2;
        if (!tlv.U8(TagType, &type) || !tlv.U32(TagFlags, &flags)) return SwWrongData;
        CardContainerRecord* container = nullptr;
        rc = pair_->CreateContainer(nameOf(tlv.Find(TagName)), static_cast<int>(flags), static_cast<int>(type),
                                    &container, false);
        if (rc != CoreOk) return status(rc);
        *out = TlvWriter().AddU32(TagContainer, container->containerId).Take();
        return SwOk;
    }
    case ItemCertificate: {
        if (content == nullptr || content->empty()) return SwWrongData;
        CardCertificate certificate(content->data(), content->size());
        CardCertificateRecord* record = nullptr;
        if (command.p2 == CertificateKindRoot) {
            rc = pair_->CreateCertificateRoot(certificate, &record);
        } else if (command.p2 == CertificateKindPartner) {
            rc = pair_->CreateCertificatePartner(certificate, &record);
        } else if (command.p2 == CertificateKindClient) {
            uint32_t keyId = 0;
            if (!tlv.U32(TagPublicKey, &keyId)) return SwWrongData;
            const CardPublicKeyRecord* key = pair_->FindCardPublicKeyRecordById(keyId);
            if (key == nullptr) return SwNotFound;
            rc = pair_->CreateCertificateClient(certificate, key, &record);
        } else {
            return SwWrongP1P2;
        }
        if (rc != CoreOk) return status(rc);
        recordId = record->recordId;
        break;
    }
    case ItemDataFile: {
        uint32_t containerId = 0, flags = 0;
        if (command.p2 != 0x00) return SwWrongP1P2;
        if (!tlv.U32(TagContainer, &containerId) || !tlv.U32(TagFlags, &flags)) return SwWrongData;
        CardFileStorage data(content != nullptr ? content->data() : nullptr, content != nullptr ? content->size() : 0);
        CardFileStorageRecord* record = nullptr;
        rc = pair_->CreateFileStorage(nameOf(tlv.Find(TagName)), containerId, static_cast<int>(flags), data, &record,
                                      false);
        if (rc != CoreOk) return status(rc);
        recordId = record->recordId;
        break;
    }
    default:
        return SwWrongP1P2;
    }
    *out = TlvWriter().AddU32(TagRecord, recordId).Take();
    return SwOk;
}

uint16_t CardApduServer::remove(const Command& command, Bytes* out) {
    TlvReader tlv;
    if (!tlv.Parse(command.data)) return SwWrongData;
    uint32_t id = 0;
    switch (command.p1) {
    case ItemContainer: {
        if (command.p2 > 1) return SwWrongP1P2;
        if (!tlv.U32(TagContainer, &id)) return SwWrongData;
        CardContainerRecord* container = pair_->FindCardContainerRecordById(id);
        if (container == nullptr) return SwNotFound;
        return status(pair_->DeleteContainer(container, command.p2 == 1, false));
    }
    case ItemCertificate: {
        if (command.p2 != 0x00) return SwWrongP1P2;
        if (!tlv.U32(TagRecord, &id)) return SwWrongData;
        CardCertificateRecord* record = pair_->FindCardCertificateRecordById(id);
        if (record == nullptr) return SwNotFound;
        return status(pair_->DeleteCertificate(record));
    }
    case ItemKeyPair: {
        if (command.p2 != 0x00) return SwWrongP1P2;
        uint32_t privateId = 0, publicId = 0;
        if (!keyPairIds(tlv, &privateId, &publicId)) return SwWrongData;
        bool hasPrivate = privateId != 0, hasPublic = publicId != 0;
        CardPrivateKeyRecord* privateKey = hasPrivate ? pair_->FindCardPrivateKeyRecordById(privateId) : nullptr;
        CardPublicKeyRecord* publicKey = hasPublic ? pair_->FindCardPublicKeyRecordById(publicId) : nullptr;
        if ((hasPrivate && privateKey == nullptr) || (hasPublic && publicKey == nullptr)) return SwNotFound;
        return status(pair_->DeleteKeyPair(privateKey, publicKey));
    }
    case ItemDataFile: {
        if (command.p2 != 0x00) return SwWrongP1P2;
        if (!tlv.U32(TagRecord, &id)) return SwWrongData;
        CardFileStorageRecord* record = pair_->FindCardFileStorageRecordById(id);
        if (record == nullptr) return SwNotFound;
        return status(pair_->DeleteFileStorage(record));
    }
    default:
        return SwWrongP1P2;
    }
}

uint16_t CardApduServer::putData(const Command& command, Bytes* out) {
    if (command.p2 != 0x00) return SwWrongP1P2;
    TlvReader tlv;
    if (!tlv.Parse(command.data)) return SwWrongData;
    uint32_t id = 0;
    // The changes go to copies of the records: the card takes them over only when it can store them.
    switch (command.p1) {
    case ItemCertificate: {
        const CardCertificateRecord* found = tlv.U32(TagRecord, &id) ? pair_->FindCardCertificateRecordById(id) : nullptr;
        if (found == nullptr) return tlv.Has(TagRecord) ? SwNotFound : SwWrongData;
        CardCertificateRecord record = *found;
        if (!takeAttributes(tlv, &record.common)) return SwWrongData;
        return status(pair_->UpdateCertificateAttr(&record));
    }
    case ItemDataFile: {
        const CardFileStorageRecord* found = tlv.U32(TagRecord, &id) ? pair_->FindCardFileStorageRecordById(id) : nullptr;
        if (found == nullptr) return tlv.Has(TagRecord) ? SwNotFound : SwWrongData;
        CardFileStorageRecord record = *found;
        if (!takeAttributes(tlv, &record.common)) return SwWrongData;
        return status(pair_->UpdateFileStorageAttr(&record));
    }
    case ItemKeyPair: {
        uint32_t privateId = 0, publicId = 0;
        if (!keyPairIds(tlv, &privateId, &publicId)) return SwWrongData;
        bool hasPrivate = privateId != 0, hasPublic = publicId != 0;
        const CardPrivateKeyRecord* foundPrivate = hasPrivate ? pair_->FindCardPrivateKeyRecordById(privateId) : nullptr;
        const CardPublicKeyRecord* foundPublic = hasPublic ? pair_->FindCardPublicKeyRecordById(publicId) : nullptr;
        if ((hasPrivate && foundPrivate == nullptr) || (hasPublic && foundPublic == nullptr)) return SwNotFound;
        CardPrivateKeyRecord privateRecord;
        CardPublicKeyRecord publicRecord;
        if (foundPrivate != nullptr) {
            privateRecord = *foundPrivate;
            if (!takeAttributes(tlv, &privateRecord.common)) return SwWrongData;
        }
        if (foundPublic != nullptr) {
            publicRecord = *foundPublic;
            if (!takeAttributes(tlv, &publicRecord.common)) return SwWrongData;
        }
        return status(pair_->UpdateKeyPairAttr(foundPrivate != nullptr ? &privateRecord : nullptr,
                                               foundPublic != nullptr ? &publicRecord : nullptr));
    }
    default:
        return SwWrongP1P2;
    }
}

uint16_t CardApduServer::erase(const Command& command, Bytes* out) {
    if (command.p1 > 1 || command.p2 != 0x00 || !command.data.empty()) return SwWrongP1P2;
    return status(pair_->EraseCard(command.p1 == 1));
}

}  // namespace Core
}  // namespace Vellumcrest
