#include "core/CardCrypto.h"

#include <openssl/asn1.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/kdf.h>
#include <openssl/objects.h>
#include <openssl/param_build.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <cctype>
#include <cstring>

namespace Vellumcrest {
namespace Core {

SecureBytes& SecureBytes::operator=(const SecureBytes& other) {
    if (this != &other) assign(other.data(), other.size());
    return *this;
}

SecureBytes& SecureBytes::operator=(SecureBytes&& other) noexcept {
    if (this != &other) {
        clear();
        bytes_ = std::move(other.bytes_);
    }
    return *this;
}

void SecureBytes::assign(const unsigned char* data, size_t size) {
    clear();
    if (data != nullptr && size > 0) bytes_.assign(data, data + size);
}

void SecureBytes::reset(size_t size) {
    clear();
    bytes_.resize(size);
}

void SecureBytes::clear() {
    if (!bytes_.empty()) OPENSSL_cleanse(bytes_.data(), bytes_.size());
    bytes_.clear();
    bytes_.shrink_to_fit();
}

void PkeyDeleter::operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }

namespace CardCrypto {

namespace {

struct CtxDeleter {
    void operator()(EVP_PKEY_CTX* ctx) const { EVP_PKEY_CTX_free(ctx); }
    void operator()(EVP_CIPHER_CTX* ctx) const { EVP_CIPHER_CTX_free(ctx); }
    void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
    void operator()(EVP_MAC_CTX* ctx) const { EVP_MAC_CTX_free(ctx); }
    void operator()(BIGNUM* bn) const { BN_clear_free(bn); }
    void operator()(OSSL_PARAM_BLD* bld) const { OSSL_PARAM_BLD_free(bld); }
    // Parameters may carry private key components: cleared before they are freed.
    void operator()(OSSL_PARAM* params) const {
        for (OSSL_PARAM* p = params; p != nullptr && p->key != nullptr; ++p)
            if (p->data != nullptr) OPENSSL_cleanse(p->data, p->data_size);
        OSSL_PARAM_free(params);
    }
};
template <typename T>
using Owned = std::unique_ptr<T, CtxDeleter>;

}  // namespace

EVP_MAC_CTX* NewKeyedHmacSha256(const unsigned char* key, size_t keySize) {
    EVP_MAC* mac = EVP_MAC_fetch(nullptr, "HMAC", nullptr);
    EVP_MAC_CTX* made = mac != nullptr ? EVP_MAC_CTX_new(mac) : nullptr;
    EVP_MAC_free(mac);
    char digest[] = "SHA256";
    OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digest, 0),
                           OSSL_PARAM_construct_end()};
    if (made != nullptr && EVP_MAC_init(made, key, keySize, params) != 1) {
        EVP_MAC_CTX_free(made);
        made = nullptr;
    }
    return made;
}

namespace {

// Algorithms fetched once per load of the library (freed when it is unloaded): OpenSSL's
// implicit fetch by EVP_sha256() and the like looks the implementation up again on every use,
// which costs more than hashing a PIN. Fetched algorithms are immutable and shared by all
// threads.
class Algorithms {
public:
    Algorithms()
        : sha256_(EVP_MD_fetch(nullptr, "SHA256", nullptr)),
          aes256Gcm_(EVP_CIPHER_fetch(nullptr, "AES-256-GCM", nullptr)),
          hmacSha256_(makeHmacSha256()) {}
    ~Algorithms() {
        EVP_MD_free(sha256_);
        EVP_CIPHER_free(aes256Gcm_);
        EVP_MAC_CTX_free(hmacSha256_);
    }
    Algorithms(const Algorithms&) = delete;
    Algorithms& operator=(const Algorithms&) = delete;

    const EVP_MD* Sha256() const { return sha256_ != nullptr ? sha256_ : EVP_sha256(); }
    const EVP_CIPHER* Aes256Gcm() const { return aes256Gcm_ != nullptr ? aes256Gcm_ : EVP_aes_256_gcm(); }
    const EVP_MAC_CTX* HmacSha256() const { return hmacSha256_; }

private:
    // HMAC-SHA256 context with the digest already set; each use duplicates it and sets the key.
    // Keyed once with zeros: only an initialised context can be duplicated.
    static EVP_MAC_CTX* makeHmacSha256() {
        const unsigned char zeros[kKeySize] = {};
        return NewKeyedHmacSha256(zeros, sizeof zeros);
    }

    EVP_MD* sha256_;
    EVP_CIPHER* aes256Gcm_;
    EVP_MAC_CTX* hmacSha256_;
};

const Algorithms& algorithms() {
    static const Algorithms instance;
    return instance;
}

const EVP_MD* sha256Md() { return algorithms().Sha256(); }
const EVP_CIPHER* aes256Gcm() { return algorithms().Aes256Gcm(); }
const EVP_MAC_CTX* hmacSha256Template() { return algorithms().HmacSha256(); }

const char kVerifierLabel[] = "vellumcrest pin verifier";
const char kKekLabel[] = "vellumcrest pin kek";
const char kStorageInfo[] = "vellumcrest storage wrap";

bool bigEndian(const BIGNUM* bn, std::vector<unsigned char>* out) {
    if (bn == nullptr) return false;
    out->resize(static_cast<size_t>(BN_num_bytes(bn)));
    if (!out->empty()) BN_bn2bin(bn, out->data());
    return true;
}

bool pushBn(OSSL_PARAM_BLD* bld, const char* name, const std::vector<unsigned char>& value,
            std::vector<Owned<BIGNUM>>* keep) {
    if (value.empty()) return false;
    BIGNUM* bn = BN_bin2bn(value.data(), static_cast<int>(value.size()), nullptr);
    if (bn == nullptr) return false;
    keep->emplace_back(bn);
    return OSSL_PARAM_BLD_push_BN(bld, name, bn) == 1;
}

PkeyPtr rsaFromParams(const std::vector<std::pair<const char*, const std::vector<unsigned char>*>>& items,
                      int selection) {
    Owned<OSSL_PARAM_BLD> bld(OSSL_PARAM_BLD_new());
    if (!bld) return nullptr;
    std::vector<Owned<BIGNUM>> keep;
    for (const auto& item : items)
        if (!pushBn(bld.get(), item.first, *item.second, &keep)) return nullptr;
    Owned<OSSL_PARAM> params(OSSL_PARAM_BLD_to_param(bld.get()));
    if (!params) return nullptr;
    Owned<EVP_PKEY_CTX> ctx(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
    if (!ctx || EVP_PKEY_fromdata_init(ctx.get()) != 1) return nullptr;
    EVP_PKEY* key = nullptr;
    if (EVP_PKEY_fromdata(ctx.get(), &key, selection, params.get()) != 1) return nullptr;
    return PkeyPtr(key);
}

bool x25519Agree(EVP_PKEY* own, const unsigned char* peerPublic, SecureBytes* shared) {
    PkeyPtr peer(EVP_PKEY_new_raw_public_key(EVP_PKEY_X25519, nullptr, peerPublic, kKeySize));
    if (!peer) return false;
    Owned<EVP_PKEY_CTX> ctx(EVP_PKEY_CTX_new(own, nullptr));
    size_t length = 0;
    if (!ctx || EVP_PKEY_derive_init(ctx.get()) != 1 || EVP_PKEY_derive_set_peer(ctx.get(), peer.get()) != 1 ||
        EVP_PKEY_derive(ctx.get(), nullptr, &length) != 1 || length != kKeySize)
        return false;
    shared->reset(length);
    if (EVP_PKEY_derive(ctx.get(), shared->data(), &length) != 1) return false;
    // An all-zero result means a small-order peer point.
    unsigned char zero[kKeySize] = {};
    return !Equal(shared->data(), zero, kKeySize);
}

bool hkdf(const SecureBytes& secret, const std::vector<unsigned char>& salt, SecureBytes* key) {
    Owned<EVP_PKEY_CTX> ctx(EVP_PKEY_CTX_new_id(EVP_PKEY_HKDF, nullptr));
    key->reset(kKeySize);
    size_t length = kKeySize;
    return ctx && EVP_PKEY_derive_init(ctx.get()) == 1 && EVP_PKEY_CTX_set_hkdf_md(ctx.get(), sha256Md()) == 1 &&
           EVP_PKEY_CTX_set1_hkdf_salt(ctx.get(), salt.data(), static_cast<int>(salt.size())) == 1 &&
           EVP_PKEY_CTX_set1_hkdf_key(ctx.get(), secret.data(), static_cast<int>(secret.size())) == 1 &&
           EVP_PKEY_CTX_add1_hkdf_info(ctx.get(), reinterpret_cast<const unsigned char*>(kStorageInfo),
                                       sizeof kStorageInfo - 1) == 1 &&
           EVP_PKEY_derive(ctx.get(), key->data(), &length) == 1 && length == kKeySize;
}

// Errors raised by a failed check or parse stay out of the application's OpenSSL error queue.
struct ErrorScope {
    ErrorScope() { ERR_set_mark(); }
    ~ErrorScope() { ERR_pop_to_mark(); }
};

// RSAPrivateKey (RFC 8017): version 0 and the eight integers of a two-prime key, in the
// order of kRsaComponents.
const char* const kRsaComponents[] = {OSSL_PKEY_PARAM_RSA_N,         OSSL_PKEY_PARAM_RSA_E,
                                      OSSL_PKEY_PARAM_RSA_D,         OSSL_PKEY_PARAM_RSA_FACTOR1,
                                      OSSL_PKEY_PARAM_RSA_FACTOR2,   OSSL_PKEY_PARAM_RSA_EXPONENT1,
                                      OSSL_PKEY_PARAM_RSA_EXPONENT2, OSSL_PKEY_PARAM_RSA_COEFFICIENT1};
constexpr int kRsaFields = 9;

void freeSecretSequence(STACK_OF(ASN1_TYPE)* fields) {
    for (int i = 0; i < sk_ASN1_TYPE_num(fields); ++i) {
        ASN1_TYPE* field = sk_ASN1_TYPE_value(fields, i);
        if (field != nullptr && field->type == V_ASN1_INTEGER && field->value.integer != nullptr)
            OPENSSL_cleanse(field->value.integer->data, static_cast<size_t>(field->value.integer->length));
    }
    sk_ASN1_TYPE_pop_free(fields, ASN1_TYPE_free);
}

// An RSA key in PKCS#8 or in RSAPrivateKey (PKCS#1) DER, as i2d_PrivateKey writes it, built
// from its components with EVP_PKEY_fromdata; null for any other key (the caller falls back to
// the generic decoder). The generic decoder costs more than a signature and serialises threads
// on a global lock.
PkeyPtr rsaFromDer(const SecureBytes& der) {
    ErrorScope errors;
    const unsigned char* inner = der.data();
    long innerLength = static_cast<long>(der.size());
    const unsigned char* cursor = der.data();
    std::unique_ptr<PKCS8_PRIV_KEY_INFO, decltype(&PKCS8_PRIV_KEY_INFO_free)> info(
        d2i_PKCS8_PRIV_KEY_INFO(nullptr, &cursor, innerLength), PKCS8_PRIV_KEY_INFO_free);
    if (info) {
        const ASN1_OBJECT* algorithm = nullptr;
        int length = 0;
        if (PKCS8_pkey_get0(&algorithm, &inner, &length, nullptr, info.get()) != 1 ||
            OBJ_obj2nid(algorithm) != NID_rsaEncryption)
            return nullptr;
        innerLength = length;
    }
    std::unique_ptr<STACK_OF(ASN1_TYPE), decltype(&freeSecretSequence)> fields(
        d2i_ASN1_SEQUENCE_ANY(nullptr, &inner, innerLength), freeSecretSequence);
    if (!fields || sk_ASN1_TYPE_num(fields.get()) != kRsaFields) return nullptr;
    std::vector<Owned<BIGNUM>> values;
    for (int i = 0; i < kRsaFields; ++i) {
        ASN1_TYPE* field = sk_ASN1_TYPE_value(fields.get(), i);
        if (field == nullptr || field->type != V_ASN1_INTEGER) return nullptr;
        // Owned before it goes into the vector, whose growth may throw.
        Owned<BIGNUM> value(ASN1_INTEGER_to_BN(field->value.integer, nullptr));
        if (!value) return nullptr;
        if (i > 0) BN_set_flags(value.get(), BN_FLG_CONSTTIME);
        values.push_back(std::move(value));
    }
    if (!BN_is_zero(values[0].get())) return nullptr;  // version 1: more than two primes
    Owned<OSSL_PARAM_BLD> bld(OSSL_PARAM_BLD_new());
    if (!bld) return nullptr;
    for (int i = 0; i < kRsaFields - 1; ++i)
        if (OSSL_PARAM_BLD_push_BN(bld.get(), kRsaComponents[i], values[i + 1].get()) != 1) return nullptr;
    Owned<OSSL_PARAM> params(OSSL_PARAM_BLD_to_param(bld.get()));
    Owned<EVP_PKEY_CTX> ctx(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
    EVP_PKEY* key = nullptr;
    if (!params || !ctx || EVP_PKEY_fromdata_init(ctx.get()) != 1 ||
        EVP_PKEY_fromdata(ctx.get(), &key, EVP_PKEY_KEYPAIR, params.get()) != 1)
        return nullptr;
    return PkeyPtr(key);
}

}  // namespace

void PrepareAlgorithms() { algorithms(); }

bool RandomBytes(unsigned char* out, size_t size) {
    return size == 0 || RAND_bytes(out, static_cast<int>(size)) == 1;
}

std::vector<unsigned char> RandomVector(size_t size) {
    std::vector<unsigned char> bytes(size);
    if (!RandomBytes(bytes.data(), size)) bytes.clear();
    return bytes;
}

std::string ToHex(const unsigned char* data, size_t size) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    text.reserve(size * 2);
    for (size_t i = 0; i < size; ++i) {
        text += digits[data[i] >> 4];
        text += digits[data[i] & 15];
    }
    return text;
}

std::string RandomHex(size_t bytes, bool upper) {
    std::vector<unsigned char> random = RandomVector(bytes);
    if (random.size() != bytes) return std::string();
    std::string text = ToHex(random.data(), random.size());
    if (upper)
        for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

std::vector<unsigned char> Sha256(const unsigned char* data, size_t size) {
    std::vector<unsigned char> digest(32);
    unsigned int length = 0;
    if (EVP_Digest(data, size, digest.data(), &length, sha256Md(), nullptr) != 1) digest.clear();
    return digest;
}

std::vector<unsigned char> Sha1(const unsigned char* data, size_t size) {
    std::vector<unsigned char> digest(20);
    unsigned int length = 0;
    if (EVP_Digest(data, size, digest.data(), &length, EVP_sha1(), nullptr) != 1) digest.clear();
    return digest;
}

bool Equal(const unsigned char* a, const unsigned char* b, size_t size) {
    return CRYPTO_memcmp(a, b, size) == 0;
}

bool HmacSha256(const unsigned char* key, size_t keySize, const unsigned char* data, size_t size,
                unsigned char out[32]) {
    const EVP_MAC_CTX* tmpl = hmacSha256Template();
    if (tmpl == nullptr) {
        unsigned int length = 0;
        return HMAC(EVP_sha256(), key, static_cast<int>(keySize), data, size, out, &length) != nullptr &&
               length == 32;
    }
    Owned<EVP_MAC_CTX> ctx(EVP_MAC_CTX_dup(tmpl));
    size_t length = 0;
    return ctx && EVP_MAC_init(ctx.get(), key, keySize, nullptr) == 1 &&
           EVP_MAC_update(ctx.get(), data, size) == 1 && EVP_MAC_final(ctx.get(), out, &length, 32) == 1 &&
           length == 32;
}

bool DerivePinMaster(const unsigned char* pin, size_t length, const std::vector<unsigned char>& salt,
                     uint32_t iterations, SecureBytes* master) {
    if (iterations == 0 || salt.empty()) return false;
    master->reset(kKeySize);
    return PKCS5_PBKDF2_HMAC(reinterpret_cast<const char*>(pin), static_cast<int>(length), salt.data(),
                             static_cast<int>(salt.size()), static_cast<int>(iterations), sha256Md(),
                             static_cast<int>(kKeySize), master->data()) == 1;
}

bool PinVerifier(const SecureBytes& master, std::vector<unsigned char>* verifier) {
    verifier->resize(32);
    return HmacSha256(master.data(), master.size(), reinterpret_cast<const unsigned char*>(kVerifierLabel),
                      sizeof kVerifierLabel - 1, verifier->data());
}

bool PinKek(const SecureBytes& master, SecureBytes* kek) {
    kek->reset(kKeySize);
    return HmacSha256(master.data(), master.size(), reinterpret_cast<const unsigned char*>(kKekLabel),
                      sizeof kKekLabel - 1, kek->data());
}

bool Seal(const unsigned char* key, const unsigned char* plain, size_t size, const std::string& aad,
          std::vector<unsigned char>* sealed) {
    sealed->assign(kNonceSize + size + kTagSize, 0);
    unsigned char* nonce = sealed->data();
    unsigned char* body = nonce + kNonceSize;
    if (!RandomBytes(nonce, kNonceSize)) return false;
    Owned<EVP_CIPHER_CTX> ctx(EVP_CIPHER_CTX_new());
    int length = 0;
    if (!ctx || EVP_EncryptInit_ex(ctx.get(), aes256Gcm(), nullptr, key, nonce) != 1) return false;
    if (!aad.empty() && EVP_EncryptUpdate(ctx.get(), nullptr, &length,
                                          reinterpret_cast<const unsigned char*>(aad.data()),
                                          static_cast<int>(aad.size())) != 1)
        return false;
    if (size > 0 && EVP_EncryptUpdate(ctx.get(), body, &length, plain, static_cast<int>(size)) != 1) return false;
    if (EVP_EncryptFinal_ex(ctx.get(), body + size, &length) != 1) return false;
    return EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_GET_TAG, static_cast<int>(kTagSize), body + size) == 1;
}

bool Open(const unsigned char* key, const std::vector<unsigned char>& sealed, const std::string& aad,
          SecureBytes* plain) {
    plain->clear();
    if (sealed.size() < kSealOverhead) return false;
    size_t size = sealed.size() - kSealOverhead;
    const unsigned char* nonce = sealed.data();
    const unsigned char* body = nonce + kNonceSize;
    SecureBytes out(size);
    Owned<EVP_CIPHER_CTX> ctx(EVP_CIPHER_CTX_new());
    int length = 0;
    if (!ctx || EVP_DecryptInit_ex(ctx.get(), aes256Gcm(), nullptr, key, nonce) != 1) return false;
    if (!aad.empty() && EVP_DecryptUpdate(ctx.get(), nullptr, &length,
                                          reinterpret_cast<const unsigned char*>(aad.data()),
                                          static_cast<int>(aad.size())) != 1)
        return false;
    if (size > 0 && EVP_DecryptUpdate(ctx.get(), out.data(), &length, body, static_cast<int>(size)) != 1)
        return false;
    unsigned char tag[kTagSize];
    std::memcpy(tag, body + size, kTagSize);
    if (EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_TAG, static_cast<int>(kTagSize), tag) != 1) return false;
    unsigned char final[16];
    if (EVP_DecryptFinal_ex(ctx.get(), final, &length) != 1) return false;
    *plain = std::move(out);
    return true;
}

bool GenerateStorageKey(SecureBytes* privateKey, std::vector<unsigned char>* publicKey) {
    privateKey->reset(kKeySize);
    if (!RandomBytes(privateKey->data(), kKeySize)) return false;
    return StoragePublicFromPrivate(*privateKey, publicKey);
}

bool StoragePublicFromPrivate(const SecureBytes& privateKey, std::vector<unsigned char>* publicKey) {
    if (privateKey.size() != kKeySize) return false;
    PkeyPtr key(EVP_PKEY_new_raw_private_key(EVP_PKEY_X25519, nullptr, privateKey.data(), kKeySize));
    size_t length = kKeySize;
    publicKey->assign(kKeySize, 0);
    return key && EVP_PKEY_get_raw_public_key(key.get(), publicKey->data(), &length) == 1 && length == kKeySize;
}

bool WrapToStorage(const std::vector<unsigned char>& storagePublic, const SecureBytes& secret,
                   const std::string& aad, std::vector<unsigned char>* wrapped) {
    if (storagePublic.size() != kKeySize) return false;
    SecureBytes ephemeralPrivate;
    std::vector<unsigned char> ephemeralPublic;
    if (!GenerateStorageKey(&ephemeralPrivate, &ephemeralPublic)) return false;
    PkeyPtr ephemeral(EVP_PKEY_new_raw_private_key(EVP_PKEY_X25519, nullptr, ephemeralPrivate.data(), kKeySize));
    SecureBytes shared, key;
    if (!ephemeral || !x25519Agree(ephemeral.get(), storagePublic.data(), &shared)) return false;
    std::vector<unsigned char> salt(ephemeralPublic);
    salt.insert(salt.end(), storagePublic.begin(), storagePublic.end());
    if (!hkdf(shared, salt, &key)) return false;
    std::vector<unsigned char> sealed;
    if (!Seal(key.data(), secret.data(), secret.size(), aad, &sealed)) return false;
    *wrapped = ephemeralPublic;
    wrapped->insert(wrapped->end(), sealed.begin(), sealed.end());
    return true;
}

bool UnwrapWithStorage(const SecureBytes& storagePrivate, const std::vector<unsigned char>& storagePublic,
                       const std::vector<unsigned char>& wrapped, const std::string& aad, SecureBytes* secret) {
    if (storagePrivate.size() != kKeySize || storagePublic.size() != kKeySize ||
        wrapped.size() < kKeySize + kSealOverhead)
        return false;
    PkeyPtr own(EVP_PKEY_new_raw_private_key(EVP_PKEY_X25519, nullptr, storagePrivate.data(), kKeySize));
    SecureBytes shared, key;
    if (!own || !x25519Agree(own.get(), wrapped.data(), &shared)) return false;
    std::vector<unsigned char> salt(wrapped.begin(), wrapped.begin() + kKeySize);
    salt.insert(salt.end(), storagePublic.begin(), storagePublic.end());
    if (!hkdf(shared, salt, &key)) return false;
    std::vector<unsigned char> sealed(wrapped.begin() + kKeySize, wrapped.end());
    return Open(key.data(), sealed, aad, secret);
}

PkeyPtr GenerateRsa(int bits) {
    Owned<EVP_PKEY_CTX> ctx(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
    if (!ctx || EVP_PKEY_keygen_init(ctx.get()) != 1 ||
        EVP_PKEY_CTX_set_rsa_keygen_bits(ctx.get(), bits) != 1)
        return nullptr;
    EVP_PKEY* key = nullptr;
    if (EVP_PKEY_keygen(ctx.get(), &key) != 1) return nullptr;
    return PkeyPtr(key);
}

PkeyPtr RsaFromParam(const RsaParam& param) {
    PkeyPtr key = rsaFromParams({{OSSL_PKEY_PARAM_RSA_N, &param.Modulus()},
                                 {OSSL_PKEY_PARAM_RSA_E, &param.Exponent()},
                                 {OSSL_PKEY_PARAM_RSA_D, &param.D()},
                                 {OSSL_PKEY_PARAM_RSA_FACTOR1, &param.P()},
                                 {OSSL_PKEY_PARAM_RSA_FACTOR2, &param.Q()},
                                 {OSSL_PKEY_PARAM_RSA_EXPONENT1, &param.DP()},
                                 {OSSL_PKEY_PARAM_RSA_EXPONENT2, &param.DQ()},
                                 {OSSL_PKEY_PARAM_RSA_COEFFICIENT1, &param.InverseQ()}},
                                EVP_PKEY_KEYPAIR);
    if (!key) return nullptr;
    Owned<EVP_PKEY_CTX> check(EVP_PKEY_CTX_new_from_pkey(nullptr, key.get(), nullptr));
    if (!check || EVP_PKEY_pairwise_check(check.get()) != 1) return nullptr;
    return key;
}

PkeyPtr RsaPublicFromComponents(const std::vector<unsigned char>& modulus,
                                const std::vector<unsigned char>& exponent) {
    return rsaFromParams({{OSSL_PKEY_PARAM_RSA_N, &modulus}, {OSSL_PKEY_PARAM_RSA_E, &exponent}},
                         EVP_PKEY_PUBLIC_KEY);
}

bool RsaComponents(EVP_PKEY* key, std::vector<unsigned char>* modulus, std::vector<unsigned char>* exponent) {
    BIGNUM* n = nullptr;
    BIGNUM* e = nullptr;
    bool ok = EVP_PKEY_get_bn_param(key, OSSL_PKEY_PARAM_RSA_N, &n) == 1 &&
              EVP_PKEY_get_bn_param(key, OSSL_PKEY_PARAM_RSA_E, &e) == 1 && bigEndian(n, modulus) &&
              bigEndian(e, exponent);
    BN_free(n);
    BN_free(e);
    return ok;
}

size_t RsaSize(EVP_PKEY* key) {
    int size = EVP_PKEY_get_size(key);
    return size > 0 ? static_cast<size_t>(size) : 0;
}

bool PrivateKeyToDer(EVP_PKEY* key, SecureBytes* der) {
    int length = i2d_PrivateKey(key, nullptr);
    if (length <= 0) return false;
    der->reset(static_cast<size_t>(length));
    unsigned char* cursor = der->data();
    return i2d_PrivateKey(key, &cursor) == length;
}

PkeyPtr PrivateKeyFromDer(const SecureBytes& der) {
    if (PkeyPtr key = rsaFromDer(der)) return key;
    ErrorScope errors;
    const unsigned char* cursor = der.data();
    EVP_PKEY* key = d2i_AutoPrivateKey(nullptr, &cursor, static_cast<long>(der.size()));
    return PkeyPtr(key);
}

bool PublicKeyInfoDer(EVP_PKEY* key, std::vector<unsigned char>* der) {
    int length = i2d_PUBKEY(key, nullptr);
    if (length <= 0) return false;
    der->resize(static_cast<size_t>(length));
    unsigned char* cursor = der->data();
    return i2d_PUBKEY(key, &cursor) == length;
}

bool RsaSignRaw(EVP_PKEY* key, const unsigned char* data, size_t size, std::vector<unsigned char>* signature) {
    Owned<EVP_PKEY_CTX> ctx(EVP_PKEY_CTX_new(key, nullptr));
    size_t length = 0;
    if (!ctx || EVP_PKEY_sign_init(ctx.get()) != 1 ||
        EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) != 1 ||
        EVP_PKEY_sign(ctx.get(), nullptr, &length, data, size) != 1)
        return false;
    signature->resize(length);
    if (EVP_PKEY_sign(ctx.get(), signature->data(), &length, data, size) != 1) return false;
    signature->resize(length);
    return true;
}

bool RsaDecrypt(EVP_PKEY* key, const unsigned char* in, size_t size, SecureBytes* plain) {
    Owned<EVP_PKEY_CTX> ctx(EVP_PKEY_CTX_new(key, nullptr));
    size_t length = 0;
    if (!ctx || EVP_PKEY_decrypt_init(ctx.get()) != 1 ||
        EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) != 1 ||
        EVP_PKEY_decrypt(ctx.get(), nullptr, &length, in, size) != 1)
        return false;
    SecureBytes out(length);
    if (EVP_PKEY_decrypt(ctx.get(), out.data(), &length, in, size) != 1) return false;
    plain->assign(out.data(), length);
    return true;
}

bool GenerateAttestationKey(SecureBytes* der) {
    PkeyPtr key(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"));
    return key && PrivateKeyToDer(key.get(), der);
}

bool AttestationSign(const SecureBytes& der, const unsigned char* data, size_t size,
                     std::vector<unsigned char>* signature) {
    PkeyPtr key = PrivateKeyFromDer(der);
    Owned<EVP_MD_CTX> ctx(EVP_MD_CTX_new());
    size_t length = 0;
    if (!key || !ctx || EVP_DigestSignInit(ctx.get(), nullptr, EVP_sha256(), nullptr, key.get()) != 1 ||
        EVP_DigestSign(ctx.get(), nullptr, &length, data, size) != 1)
        return false;
    signature->resize(length);
    if (EVP_DigestSign(ctx.get(), signature->data(), &length, data, size) != 1) return false;
    signature->resize(length);
    return true;
}

bool AttestationPublicInfo(const SecureBytes& der, std::vector<unsigned char>* spki) {
    PkeyPtr key = PrivateKeyFromDer(der);
    return key && PublicKeyInfoDer(key.get(), spki);
}


namespace {

const EVP_MD* mdOf(HashType type) {
    switch (type) {
    case HashTypeSha1: return EVP_sha1();
    case HashTypeSha224: return EVP_sha224();
    case HashTypeSha256: return EVP_sha256();
    case HashTypeSha384: return EVP_sha384();
    case HashTypeSha512: return EVP_sha512();
    default: return nullptr;
    }
}

bool pssContext(EVP_PKEY_CTX* ctx, HashType hash, HashType mgfHash, size_t saltLength) {
    const EVP_MD* md = mdOf(hash);
    const EVP_MD* mgf = mdOf(mgfHash);
    return md != nullptr && mgf != nullptr && saltLength <= 0x7FFFFFFF &&
           EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PSS_PADDING) == 1 && EVP_PKEY_CTX_set_signature_md(ctx, md) == 1 &&
           EVP_PKEY_CTX_set_rsa_mgf1_md(ctx, mgf) == 1 &&
           EVP_PKEY_CTX_set_rsa_pss_saltlen(ctx, static_cast<int>(saltLength)) == 1;
}

bool oaepContext(EVP_PKEY_CTX* ctx, HashType hash, HashType mgfHash, const unsigned char* label, size_t labelSize) {
    const EVP_MD* md = mdOf(hash);
    const EVP_MD* mgf = mdOf(mgfHash);
    if (md == nullptr || mgf == nullptr || labelSize > 0x7FFFFFFF || (label == nullptr && labelSize > 0)) return false;
    if (EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_OAEP_PADDING) != 1 || EVP_PKEY_CTX_set_rsa_oaep_md(ctx, md) != 1 ||
        EVP_PKEY_CTX_set_rsa_mgf1_md(ctx, mgf) != 1)
        return false;
    if (labelSize == 0) return true;
    // The context takes ownership of the label copy.
    void* copy = OPENSSL_memdup(label, labelSize);
    if (copy == nullptr) return false;
    if (EVP_PKEY_CTX_set0_rsa_oaep_label(ctx, copy, static_cast<int>(labelSize)) != 1) {
        OPENSSL_free(copy);
        return false;
    }
    return true;
}

}  // namespace

bool RsaSignPss(EVP_PKEY* key, HashType hash, HashType mgfHash, size_t saltLength, const unsigned char* digest,
                size_t size, std::vector<unsigned char>* signature) {
    ErrorScope errors;
    Owned<EVP_PKEY_CTX> ctx(EVP_PKEY_CTX_new(key, nullptr));
    size_t length = 0;
    if (!ctx || EVP_PKEY_sign_init(ctx.get()) != 1 || !pssContext(ctx.get(), hash, mgfHash, saltLength) ||
        EVP_PKEY_sign(ctx.get(), nullptr, &length, digest, size) != 1)
        return false;
    signature->resize(length);
    if (EVP_PKEY_sign(ctx.get(), signature->data(), &length, digest, size) != 1) return false;
    signature->resize(length);
    return true;
}

bool RsaVerifyPss(EVP_PKEY* key, HashType hash, HashType mgfHash, size_t saltLength, const unsigned char* digest,
                  size_t size, const unsigned char* signature, size_t signatureSize) {
    ErrorScope errors;
    Owned<EVP_PKEY_CTX> ctx(EVP_PKEY_CTX_new(key, nullptr));
    return ctx && EVP_PKEY_verify_init(ctx.get()) == 1 && pssContext(ctx.get(), hash, mgfHash, saltLength) &&
           EVP_PKEY_verify(ctx.get(), signature, signatureSize, digest, size) == 1;
}

bool RsaEncryptOaep(EVP_PKEY* key, HashType hash, HashType mgfHash, const unsigned char* label, size_t labelSize,
                    const unsigned char* in, size_t size, std::vector<unsigned char>* out) {
    ErrorScope errors;
    Owned<EVP_PKEY_CTX> ctx(EVP_PKEY_CTX_new(key, nullptr));
    size_t length = 0;
    static const unsigned char nothing = 0;
    if (in == nullptr) in = &nothing;
    if (!ctx || EVP_PKEY_encrypt_init(ctx.get()) != 1 || !oaepContext(ctx.get(), hash, mgfHash, label, labelSize) ||
        EVP_PKEY_encrypt(ctx.get(), nullptr, &length, in, size) != 1)
        return false;
    out->resize(length);
    if (EVP_PKEY_encrypt(ctx.get(), out->data(), &length, in, size) != 1) return false;
    out->resize(length);
    return true;
}

bool RsaDecryptOaep(EVP_PKEY* key, HashType hash, HashType mgfHash, const unsigned char* label, size_t labelSize,
                    const unsigned char* in, size_t size, SecureBytes* plain) {
    ErrorScope errors;
    Owned<EVP_PKEY_CTX> ctx(EVP_PKEY_CTX_new(key, nullptr));
    size_t length = 0;
    if (!ctx || EVP_PKEY_decrypt_init(ctx.get()) != 1 || !oaepContext(ctx.get(), hash, mgfHash, label, labelSize) ||
        EVP_PKEY_decrypt(ctx.get(), nullptr, &length, in, size) != 1)
        return false;
    SecureBytes out(length);
    if (EVP_PKEY_decrypt(ctx.get(), out.data(), &length, in, size) != 1) return false;
    plain->assign(out.data(), length);
    return true;
}

}  // namespace CardCrypto
}  // namespace Core
}  // namespace Vellumcrest
