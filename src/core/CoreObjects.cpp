#include "core/CoreObjects.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "core/Hash.h"
#include "core/Log.h"
#include "core/ObjectFlags.h"
#include "core/Reader.h"

namespace Vellumcrest {
namespace Core {

using ObjectFlags::copyId;
using ObjectFlags::publicKeyFlags;

namespace {

// Keeps OpenSSL errors raised by our own calls out of the application's error queue.
class ErrorMark {
public:
    ErrorMark() { ERR_set_mark(); }
    ~ErrorMark() { ERR_pop_to_mark(); }
};

struct PkeyFree { void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); } };
struct PkeyCtxFree { void operator()(EVP_PKEY_CTX* p) const { EVP_PKEY_CTX_free(p); } };
struct X509Free { void operator()(X509* p) const { X509_free(p); } };
struct BnFree { void operator()(BIGNUM* p) const { BN_free(p); } };
using PkeyPtr = std::unique_ptr<EVP_PKEY, PkeyFree>;
using PkeyCtxPtr = std::unique_ptr<EVP_PKEY_CTX, PkeyCtxFree>;
using X509Ptr = std::unique_ptr<X509, X509Free>;
using BnPtr = std::unique_ptr<BIGNUM, BnFree>;

std::vector<unsigned char> withoutLeadingZeros(const unsigned char* data, size_t length) {
    if (data == nullptr) return {};
    size_t skip = 0;
    while (skip < length && data[skip] == 0) ++skip;
    return std::vector<unsigned char>(data + skip, data + length);
}

std::vector<unsigned char> sha1(const std::vector<unsigned char>& data) {
    HashSha1 hash;
    hash.Update(data.data(), data.size());
    hash.Final();
    return std::vector<unsigned char>(hash.GetHash(), hash.GetHash() + hash.GetSize());
}

// Identifier of a key without one of its own: SHA-1 of the modulus, as for its certificate.
bool idFromModulus(const std::vector<unsigned char>& modulus, std::vector<unsigned char>& id) {
    id.clear();
    if (modulus.empty()) return false;
    id = sha1(modulus);
    return true;
}

PkeyPtr makeRsaPublicKey(const std::vector<unsigned char>& modulus, const std::vector<unsigned char>& exponent) {
    if (modulus.empty() || exponent.empty()) return nullptr;
    BnPtr n(BN_bin2bn(modulus.data(), static_cast<int>(modulus.size()), nullptr));
    BnPtr e(BN_bin2bn(exponent.data(), static_cast<int>(exponent.size()), nullptr));
    if (!n || !e) return nullptr;
    OSSL_PARAM_BLD* builder = OSSL_PARAM_BLD_new();
    OSSL_PARAM* params = nullptr;
    EVP_PKEY* key = nullptr;
    if (builder != nullptr && OSSL_PARAM_BLD_push_BN(builder, OSSL_PKEY_PARAM_RSA_N, n.get()) == 1 &&
        OSSL_PARAM_BLD_push_BN(builder, OSSL_PKEY_PARAM_RSA_E, e.get()) == 1)
        params = OSSL_PARAM_BLD_to_param(builder);
    if (params != nullptr) {
        PkeyCtxPtr context(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
        if (context && EVP_PKEY_fromdata_init(context.get()) == 1)
            EVP_PKEY_fromdata(context.get(), &key, EVP_PKEY_PUBLIC_KEY, params);
    }
    OSSL_PARAM_free(params);
    OSSL_PARAM_BLD_free(builder);
    return PkeyPtr(key);
}

std::vector<unsigned char> bnParam(const EVP_PKEY* key, const char* name) {
    BIGNUM* value = nullptr;
    if (EVP_PKEY_get_bn_param(key, name, &value) != 1 || value == nullptr) return {};
    BnPtr owned(value);
    std::vector<unsigned char> bytes(static_cast<size_t>(BN_num_bytes(value)));
    if (!bytes.empty()) BN_bn2bin(value, bytes.data());
    return bytes;
}

X509Ptr parseDer(const std::vector<unsigned char>& der) {
    if (der.empty() || der.size() > static_cast<size_t>(LONG_MAX)) return nullptr;
    const unsigned char* p = der.data();
    X509Ptr certificate(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
    // Trailing bytes after the certificate make the value invalid.
    if (certificate && p != der.data() + der.size()) return nullptr;
    return certificate;
}

}  // namespace

// ---------------------------------------------------------------------------------------
// CoreObject

CoreObject::CoreObject(CoreObjectType type) : type_(type) {}

CoreObject::~CoreObject() = default;

// The card's identifier (see cardId) when there is one; else one computed from the key
// material. Without a pair only the computed one. Non-zero when the object's record is gone.
int CoreObject::SetCryptokiID(ReaderCardPair* pair) {
    try {
        if (pair != nullptr && type_ == CoreObjectTypeKey &&
            static_cast<Key*>(this)->GetKeyType() == KeyTypeRsaPrivateKey)
            static_cast<RsaPrivateKey*>(this)->cacheModulus(pair);
        std::vector<unsigned char> id;
        bool missing = false;
        if (pair != nullptr && recordId_ != 0 && !cardId(pair, id, &missing) && missing) {
            GetCoreLog()->Error("CoreObject::SetCryptokiID(): record %u not found", recordId_);
            return CoreNotFound;
        }
        if (id.empty()) computeDefaultId(id);
        copyId(cryptokiId_, id.data(), id.size());
        idExplicit_ = false;
        return CoreOk;
    } catch (const std::bad_alloc&) {
        return CoreOutOfMemory;
    }
}

// A key pair and the client certificate of its container belong together: an object
// whose own record has no identifier takes the one of its partners (public key:
// private key, then certificate; private key: public key, then certificate;
// certificate: the public key of its container).
bool CoreObject::cardId(ReaderCardPair* pair, std::vector<unsigned char>& id, bool* missing) const {
    id.clear();
    if (missing != nullptr) *missing = false;
    if (pair == nullptr || recordId_ == 0) return false;
    const CardCommonAttribute* own = findCommon(pair);
    if (own == nullptr) {
        if (missing != nullptr) *missing = true;
        return false;
    }
    if (own->HasId()) {
        id = own->GetId();
        return true;
    }
    std::vector<const CardCommonAttribute*> partners;
    if (type_ == CoreObjectTypeCertificate) {
        CardCertificateRecord* record = pair->FindCardCertificateRecordById(recordId_);
        if (record != nullptr && record->kind == CertificateKindClient)
            for (CardPublicKeyRecord* key : pair->GetPublicKeyRecords())
                if (key != nullptr && key->containerId == record->containerId) partners.push_back(&key->common);
    } else if (type_ == CoreObjectTypeKey) {
        KeyType keyType = static_cast<const Key*>(this)->GetKeyType();
        CardPublicKeyRecord* publicRecord = nullptr;
        if (keyType == KeyTypeRsaPublicKey) {
            publicRecord = pair->FindCardPublicKeyRecordById(recordId_);
            CardPrivateKeyRecord* privateRecord =
                publicRecord != nullptr ? pair->FindCardPrivateKeyRecord(publicRecord) : nullptr;
            if (privateRecord != nullptr) partners.push_back(&privateRecord->common);
        } else if (keyType == KeyTypeRsaPrivateKey) {
            CardPrivateKeyRecord* privateRecord = pair->FindCardPrivateKeyRecordById(recordId_);
            publicRecord = privateRecord != nullptr ? pair->FindCardPublicKeyRecord(privateRecord) : nullptr;
            if (publicRecord != nullptr) partners.push_back(&publicRecord->common);
        }
        CardCertificateRecord* certificate =
            publicRecord != nullptr ? pair->FindCardCertificateRecord(publicRecord) : nullptr;
        if (certificate != nullptr) partners.push_back(&certificate->common);
    }
    for (const CardCommonAttribute* partner : partners) {
        if (partner->HasId()) {
            id = partner->GetId();
            return true;
        }
    }
    return false;
}

int CoreObject::SetCryptokiID(const tKeyIdentifier& id) {
    if (id.length > sizeof(id.value)) return CoreInvalidArgument;
    copyId(cryptokiId_, id.value, id.length);
    idExplicit_ = true;
    return CoreOk;
}

bool CoreObject::computeDefaultId(std::vector<unsigned char>& id) const {
    id.clear();
    return false;
}

const CardCommonAttribute* CoreObject::findCommon(ReaderCardPair*) const { return nullptr; }

std::string CoreObject::defaultLabel() const { return std::string(); }

// Label that is not stored with the record. Keys take the label (else the subject CN)
// of the certificate in their container, so that a key and its certificate show the
// same name; data files their file name; otherwise defaultLabel().
std::string CoreObject::derivedLabel(ReaderCardPair* pair) const {
    if (pair != nullptr && recordId_ != 0 && type_ == CoreObjectTypeKey) {
        KeyType keyType = static_cast<const Key*>(this)->GetKeyType();
        CardPublicKeyRecord* publicRecord = nullptr;
        if (keyType == KeyTypeRsaPublicKey) {
            publicRecord = pair->FindCardPublicKeyRecordById(recordId_);
        } else if (keyType == KeyTypeRsaPrivateKey) {
            CardPrivateKeyRecord* privateRecord = pair->FindCardPrivateKeyRecordById(recordId_);
            if (privateRecord != nullptr) publicRecord = pair->FindCardPublicKeyRecord(privateRecord);
        }
        CardCertificateRecord* certificateRecord =
            publicRecord != nullptr ? pair->FindCardCertificateRecord(publicRecord) : nullptr;
        if (certificateRecord != nullptr) {
            if (certificateRecord->common.HasLabel()) return certificateRecord->common.GetLabel();
            std::unique_ptr<CardCertificate> payload(pair->GetCardCertificate(certificateRecord));
            if (payload) {
                Certificate certificate;
                if (certificate.SetCertificate(payload->GetData(), payload->GetSize()) == CoreOk &&
                    !certificate.subjectCN_.empty())
                    return certificate.subjectCN_;
            }
        }
    }
    if (pair != nullptr && recordId_ != 0 && type_ == CoreObjectTypeFileStorage) {
        CardFileStorageRecord* record = pair->FindCardFileStorageRecordById(recordId_);
        if (record != nullptr && !record->name.empty()) return OrvoStringWToUtf8(record->name);
    }
    return defaultLabel();
}

const unsigned char* CoreObject::attrLabel(ReaderCardPair* pair, unsigned long* length) {
    try {
        const CardCommonAttribute* common = pair != nullptr ? findCommon(pair) : nullptr;
        if (common != nullptr && common->HasLabel())
            labelBuffer_ = common->GetLabel();
        else
            labelBuffer_ = derivedLabel(pair);
    } catch (const std::bad_alloc&) {
        labelBuffer_.clear();
    }
    if (length != nullptr) *length = labelBuffer_.size();
    return reinterpret_cast<const unsigned char*>(labelBuffer_.c_str());
}

// An identifier set in memory wins; then the one on the card (so that a change written
// to the card shows at once); then the one derived by SetCryptokiID; then a computed one.
const unsigned char* CoreObject::attrId(ReaderCardPair* pair, unsigned long* length) {
    try {
        std::vector<unsigned char> fromCard;
        if (!idExplicit_ && cardId(pair, fromCard, nullptr)) {
            idBuffer_.swap(fromCard);
            copyId(cryptokiId_, idBuffer_.data(), idBuffer_.size());
        } else if (idExplicit_ || cryptokiId_.length > 0) {
            idBuffer_.assign(cryptokiId_.value, cryptokiId_.value + cryptokiId_.length);
        } else {
            computeDefaultId(idBuffer_);
        }
    } catch (const std::bad_alloc&) {
        idBuffer_.clear();
    }
    if (length != nullptr) *length = idBuffer_.size();
    static const unsigned char empty = 0;
    return idBuffer_.empty() ? &empty : idBuffer_.data();
}

// ---------------------------------------------------------------------------------------
// RsaPublicKey

RsaPublicKey::RsaPublicKey() : Key(KeyTypeRsaPublicKey) {}

RsaPublicKey::~RsaPublicKey() { EVP_PKEY_free(kept_); }

EVP_PKEY* RsaPublicKey::openSslKey() {
    std::lock_guard<std::mutex> guard(keptMutex_);
    if (kept_ == nullptr) kept_ = makeRsaPublicKey(modulus_, exponent_).release();
    return kept_ != nullptr && EVP_PKEY_up_ref(kept_) == 1 ? kept_ : nullptr;
}

int RsaPublicKey::SetPublicKey(const CardPublicKeyRecord* record, const CardPublicKey* key) {
    if (record == nullptr || key == nullptr) return CoreInvalidArgument;
    int result = SetPublicKey(key->GetModulus().data(), key->GetModulus().size(), key->GetExponent().data(),
                              key->GetExponent().size());
    if (result != CoreOk) return result;
    recordId_ = record->recordId;
    containerId_ = record->containerId;
    return CoreOk;
}

int RsaPublicKey::SetPublicKey(const unsigned char* modulus, unsigned long modulusSize,
                               const unsigned char* exponent, unsigned long exponentSize) {
    if (modulus == nullptr || exponent == nullptr) return CoreInvalidArgument;
    try {
        std::vector<unsigned char> n = withoutLeadingZeros(modulus, modulusSize);
        std::vector<unsigned char> e = withoutLeadingZeros(exponent, exponentSize);
        if (n.empty() || e.empty()) return CoreInvalidArgument;
        std::lock_guard<std::mutex> guard(keptMutex_);
        modulus_.swap(n);
        exponent_.swap(e);
        EVP_PKEY_free(kept_);
        kept_ = nullptr;
        return CoreOk;
    } catch (const std::bad_alloc&) {
        return CoreOutOfMemory;
    }
}

const unsigned char* RsaPublicKey::GetAttrLabel(ReaderCardPair* pair, unsigned long* length) {
    return attrLabel(pair, length);
}

const unsigned char* RsaPublicKey::GetAttrId(ReaderCardPair* pair, unsigned long* length) {
    return attrId(pair, length);
}

CardPublicKeyRecord* RsaPublicKey::GetCardPublicKeyRecord(ReaderCardPair* pair) const {
    if (pair == nullptr || recordId_ == 0) return nullptr;
    return pair->FindCardPublicKeyRecordById(recordId_);
}

// Raw PKCS#1 v1.5 check: the signature, opened with the public key and stripped of its
// type-1 padding, must equal data. 0 valid, 101 bad arguments, 105 invalid signature.
int RsaPublicKey::Verify(const unsigned char* data, unsigned long length, const unsigned char* signature,
                         unsigned long signatureLength) {
    size_t k = modulus_.size();
    if (k == 0 || signature == nullptr || signatureLength != k || (data == nullptr && length > 0))
        return CoreInvalidArgument;
    if (k < 11 || length > k - 11) return CoreInvalidEncryptedData;
    ErrorMark mark;
    PkeyPtr key(openSslKey());
    if (!key) return CoreInvalidArgument;
    PkeyCtxPtr context(EVP_PKEY_CTX_new(key.get(), nullptr));
    if (!context || EVP_PKEY_verify_recover_init(context.get()) != 1 ||
        EVP_PKEY_CTX_set_rsa_padding(context.get(), RSA_PKCS1_PADDING) != 1)
        return CoreInvalidArgument;
    std::vector<unsigned char> recovered(k);
    size_t recoveredLength = recovered.size();
    if (EVP_PKEY_verify_recover(context.get(), recovered.data(), &recoveredLength, signature, signatureLength) != 1)
        return CoreInvalidEncryptedData;
    if (recoveredLength != length || (length > 0 && std::memcmp(recovered.data(), data, length) != 0))
        return CoreInvalidEncryptedData;
    return CoreOk;
}

// With a hash object: DigestInfo (prefix of the hash type and the digest) is checked raw;
// HashSsl3 carries raw data (its 36 bytes) without a prefix.
int RsaPublicKey::Verify(Hash* hash, const unsigned char* signature, unsigned long signatureLength) {
    if (hash == nullptr) return CoreInvalidArgument;
    if (hash->GetType() == HashTypeSsl3) return Verify(hash->GetHash(), hash->GetSize(), signature, signatureLength);
    unsigned long prefixLength = 0;
    const unsigned char* prefix = DigestInfoPrefix(hash->GetType(), &prefixLength);
    if (prefix == nullptr) return CoreInvalidArgument;
    std::vector<unsigned char> digestInfo(prefix, prefix + prefixLength);
    digestInfo.insert(digestInfo.end(), hash->GetHash(), hash->GetHash() + hash->GetSize());
    return Verify(digestInfo.data(), digestInfo.size(), signature, signatureLength);
}

// PKCS#1 v1.5 block type 2. The input is checked first (at most k - 11 bytes: 101), then
// the room: out null gives the needed length and 0, a short *outLength 104 (with the
// needed length in *outLength).
int RsaPublicKey::Encrypt(const unsigned char* in, unsigned long inLength, unsigned char* out,
                          unsigned long* outLength) {
    size_t k = modulus_.size();
    if (outLength == nullptr || k == 0 || (in == nullptr && inLength > 0)) return CoreInvalidArgument;
    if (k < 11 || inLength > k - 11) return CoreInvalidArgument;
    if (out == nullptr) {
        *outLength = k;
        return CoreOk;
    }
    if (*outLength < k) {
        *outLength = k;
        return CoreBufferTooSmall;
    }
    ErrorMark mark;
    PkeyPtr key(openSslKey());
    if (!key) return CoreInvalidArgument;
    PkeyCtxPtr context(EVP_PKEY_CTX_new(key.get(), nullptr));
    if (!context || EVP_PKEY_encrypt_init(context.get()) != 1 ||
        EVP_PKEY_CTX_set_rsa_padding(context.get(), RSA_PKCS1_PADDING) != 1)
        return CoreInvalidArgument;
    static const unsigned char nothing = 0;
    size_t written = *outLength;
    if (EVP_PKEY_encrypt(context.get(), out, &written, in != nullptr ? in : &nothing, inLength) != 1)
        return CoreInvalidArgument;
    *outLength = written;
    return CoreOk;
}

bool RsaPublicKey::computeDefaultId(std::vector<unsigned char>& id) const { return idFromModulus(modulus_, id); }

const CardCommonAttribute* RsaPublicKey::findCommon(ReaderCardPair* pair) const {
    CardPublicKeyRecord* record = GetCardPublicKeyRecord(pair);
    return record != nullptr ? &record->common : nullptr;
}

std::string Key::defaultLabel() const { return "Key " + std::to_string(containerId_); }

// ---------------------------------------------------------------------------------------
// RsaPrivateKey

RsaPrivateKey::RsaPrivateKey() : Key(KeyTypeRsaPrivateKey) {}

RsaPrivateKey::~RsaPrivateKey() = default;

int RsaPrivateKey::SetPrivateKey(const CardPrivateKeyRecord* record) {
    if (record == nullptr) return CoreInvalidArgument;
    if (record->recordId != recordId_) modulus_.clear();
    recordId_ = record->recordId;
    containerId_ = record->containerId;
    return CoreOk;
}

CardPrivateKeyRecord* RsaPrivateKey::GetCardPrivateKeyRecord(ReaderCardPair* pair) const {
    if (pair == nullptr || recordId_ == 0) return nullptr;
    return pair->FindCardPrivateKeyRecordById(recordId_);
}

RsaPublicKey* RsaPrivateKey::GetPublicKey(ReaderCardPair* pair) const {
    CardPrivateKeyRecord* privateRecord = GetCardPrivateKeyRecord(pair);
    if (privateRecord == nullptr) return nullptr;
    CardPublicKeyRecord* publicRecord = pair->FindCardPublicKeyRecord(privateRecord);
    if (publicRecord == nullptr) return nullptr;
    std::unique_ptr<CardPublicKey> payload(pair->GetCardPublicKey(publicRecord, false));
    if (!payload) return nullptr;
    std::unique_ptr<RsaPublicKey> key(new (std::nothrow) RsaPublicKey());
    if (!key || key->SetPublicKey(publicRecord, payload.get()) != CoreOk) return nullptr;
    key->SetCoreObjectFlags(publicKeyFlags(publicRecord));
    try {
        modulus_.assign(key->GetModulus(), key->GetModulus() + key->GetModulusSize());
    } catch (const std::bad_alloc&) {
    }
    return key.release();
}

void RsaPrivateKey::cacheModulus(ReaderCardPair* pair) const {
    std::unique_ptr<RsaPublicKey> key(GetPublicKey(pair));
    (void)key;  // GetPublicKey refreshes modulus_
}

int RsaPrivateKey::Decrypt(ReaderCardPair* pair, const unsigned char* in, unsigned long inLength, unsigned char* out,
                           unsigned long* outLength) {
    if (pair == nullptr || outLength == nullptr || (in == nullptr && inLength > 0)) return CoreInvalidArgument;
    CardPrivateKeyRecord* record = GetCardPrivateKeyRecord(pair);
    if (record == nullptr) return CoreNotFound;
    return pair->Decrypt(record, in, inLength, out, outLength);
}

const unsigned char* RsaPrivateKey::GetAttrLabel(ReaderCardPair* pair, unsigned long* length) {
    return attrLabel(pair, length);
}

const unsigned char* RsaPrivateKey::GetAttrId(ReaderCardPair* pair, unsigned long* length) {
    return attrId(pair, length);
}

bool RsaPrivateKey::computeDefaultId(std::vector<unsigned char>& id) const { return idFromModulus(modulus_, id); }

const CardCommonAttribute* RsaPrivateKey::findCommon(ReaderCardPair* pair) const {
    CardPrivateKeyRecord* record = GetCardPrivateKeyRecord(pair);
    return record != nullptr ? &record->common : nullptr;
}

// ---------------------------------------------------------------------------------------
// Certificate

Certificate::Certificate() : CoreObject(CoreObjectTypeCertificate) {}

Certificate::~Certificate() = default;

void Certificate::clear() {
    der_.clear();
    subject_.clear();
    issuer_.clear();
    serial_.clear();
    modulus_.clear();
    exponent_.clear();
    keyBits_.clear();
    subjectCN_.clear();
    ca_ = false;
    selfSigned_ = false;
}

// On failure (not exactly one DER X.509 certificate) the object is left empty. A
// certificate with a non-RSA key loads with empty modulus and exponent.
int Certificate::SetCertificate(const unsigned char* der, unsigned long length) {
    clear();
    if (der == nullptr || length == 0) return CoreInvalidArgument;
    ErrorMark mark;
    try {
        std::vector<unsigned char> bytes(der, der + length);
        X509Ptr certificate = parseDer(bytes);
        if (!certificate) return CoreInvalidArgument;

        const unsigned char* encoded = nullptr;
        size_t encodedLength = 0;
        X509_NAME* subject = X509_get_subject_name(certificate.get());
        X509_NAME* issuer = X509_get_issuer_name(certificate.get());
        if (subject == nullptr || issuer == nullptr) return CoreInvalidArgument;
        if (X509_NAME_get0_der(subject, &encoded, &encodedLength) != 1) return CoreInvalidArgument;
        std::vector<unsigned char> subjectDer(encoded, encoded + encodedLength);
        if (X509_NAME_get0_der(issuer, &encoded, &encodedLength) != 1) return CoreInvalidArgument;
        std::vector<unsigned char> issuerDer(encoded, encoded + encodedLength);

        const ASN1_INTEGER* serialNumber = X509_get0_serialNumber(certificate.get());
        int serialLength = serialNumber != nullptr ? i2d_ASN1_INTEGER(serialNumber, nullptr) : -1;
        if (serialLength <= 0) return CoreInvalidArgument;
        std::vector<unsigned char> serialDer(static_cast<size_t>(serialLength));
        unsigned char* out = serialDer.data();
        i2d_ASN1_INTEGER(serialNumber, &out);

        std::vector<unsigned char> modulus, exponent, keyBits;
        EVP_PKEY* key = X509_get0_pubkey(certificate.get());
        if (key != nullptr && (EVP_PKEY_is_a(key, "RSA") || EVP_PKEY_is_a(key, "RSA-PSS"))) {
            modulus = bnParam(key, OSSL_PKEY_PARAM_RSA_N);
            exponent = bnParam(key, OSSL_PKEY_PARAM_RSA_E);
        }
        const unsigned char* bits = nullptr;
        int bitsLength = 0;
        X509_PUBKEY* publicKey = X509_get_X509_PUBKEY(certificate.get());
        if (publicKey != nullptr && X509_PUBKEY_get0_param(nullptr, &bits, &bitsLength, nullptr, publicKey) == 1 &&
            bits != nullptr && bitsLength > 0)
            keyBits.assign(bits, bits + bitsLength);

        std::string commonName;
        int index = X509_NAME_get_index_by_NID(subject, NID_commonName, -1);
        if (index >= 0) {
            ASN1_STRING* value = X509_NAME_ENTRY_get_data(X509_NAME_get_entry(subject, index));
            unsigned char* utf8 = nullptr;
            int utf8Length = value != nullptr ? ASN1_STRING_to_UTF8(&utf8, value) : -1;
            if (utf8Length > 0) commonName.assign(reinterpret_cast<char*>(utf8), static_cast<size_t>(utf8Length));
            OPENSSL_free(utf8);
        }

        bool ca = (X509_get_extension_flags(certificate.get()) & EXFLAG_CA) != 0;
        bool selfSigned = X509_NAME_cmp(subject, issuer) == 0 && key != nullptr &&
                          X509_verify(certificate.get(), key) == 1;

        der_.swap(bytes);
        subject_.swap(subjectDer);
        issuer_.swap(issuerDer);
        serial_.swap(serialDer);
        modulus_.swap(modulus);
        exponent_.swap(exponent);
        keyBits_.swap(keyBits);
        subjectCN_.swap(commonName);
        ca_ = ca;
        selfSigned_ = selfSigned;
        return CoreOk;
    } catch (const std::bad_alloc&) {
        clear();
        return CoreOutOfMemory;
    }
}

int Certificate::SetCertificate(const CardCertificateRecord* record, const CardCertificate& certificate) {
    if (record == nullptr) return CoreInvalidArgument;
    int result = SetCertificate(certificate.GetData(), certificate.GetSize());
    if (result != CoreOk) return result;
    recordId_ = record->recordId;
    containerId_ = record->containerId;
    return CoreOk;
}

bool Certificate::IsCACertificate() const { return ca_; }

bool Certificate::IsSelfSigned() const { return selfSigned_; }

bool Certificate::IsIssuedByCert(const Certificate* issuer) const {
    if (issuer == nullptr || der_.empty() || issuer->der_.empty()) return false;
    ErrorMark mark;
    X509Ptr self = parseDer(der_);
    X509Ptr other = parseDer(issuer->der_);
    if (!self || !other) return false;
    if (X509_NAME_cmp(X509_get_issuer_name(self.get()), X509_get_subject_name(other.get())) != 0) return false;
    EVP_PKEY* key = X509_get0_pubkey(other.get());
    return key != nullptr && X509_verify(self.get(), key) == 1;
}

CardCertificateRecord* Certificate::GetCardCertificateRecord(ReaderCardPair* pair) const {
    if (pair == nullptr || recordId_ == 0) return nullptr;
    return pair->FindCardCertificateRecordById(recordId_);
}

const unsigned char* Certificate::GetAttrLabel(ReaderCardPair* pair, unsigned long* length) {
    return attrLabel(pair, length);
}

const unsigned char* Certificate::GetAttrId(ReaderCardPair* pair, unsigned long* length) {
    return attrId(pair, length);
}

// SHA-1 of the RSA modulus, as for the keys, so that a certificate and its key pair share
// CKA_ID; for other keys SHA-1 of the subjectPublicKey bits.
bool Certificate::computeDefaultId(std::vector<unsigned char>& id) const {
    id.clear();
    if (!modulus_.empty())
        id = sha1(modulus_);
    else if (!keyBits_.empty())
        id = sha1(keyBits_);
    return !id.empty();
}

const CardCommonAttribute* Certificate::findCommon(ReaderCardPair* pair) const {
    CardCertificateRecord* record = GetCardCertificateRecord(pair);
    return record != nullptr ? &record->common : nullptr;
}

std::string Certificate::defaultLabel() const { return subjectCN_.empty() ? "Certificate" : subjectCN_; }

// ---------------------------------------------------------------------------------------
// FileStorage

FileStorage::FileStorage() : CoreObject(CoreObjectTypeFileStorage) {}

FileStorage::~FileStorage() = default;

int FileStorage::SetFileStorage(const unsigned char* data, unsigned long length, bool) {
    if (data == nullptr && length > 0) return CoreInvalidArgument;
    try {
        if (length == 0)
            data_.clear();
        else
            data_.assign(data, data + length);
        return CoreOk;
    } catch (const std::bad_alloc&) {
        return CoreOutOfMemory;
    }
}

int FileStorage::SetFileStorage(const CardFileStorageRecord* record, const CardFileStorage& data) {
    if (record == nullptr) return CoreInvalidArgument;
    int result = SetFileStorage(data.GetData(), data.GetSize(), false);
    if (result != CoreOk) return result;
    recordId_ = record->recordId;
    containerId_ = record->containerId;
    return CoreOk;
}

CardFileStorageRecord* FileStorage::GetCardFileStorageRecord(ReaderCardPair* pair) const {
    if (pair == nullptr || recordId_ == 0) return nullptr;
    return pair->FindCardFileStorageRecordById(recordId_);
}

const unsigned char* FileStorage::GetAttrLabel(ReaderCardPair* pair, unsigned long* length) {
    return attrLabel(pair, length);
}

const CardCommonAttribute* FileStorage::findCommon(ReaderCardPair* pair) const {
    CardFileStorageRecord* record = GetCardFileStorageRecord(pair);
    return record != nullptr ? &record->common : nullptr;
}

std::string FileStorage::defaultLabel() const { return std::string(); }

}  // namespace Core
}  // namespace Vellumcrest
