// Cryptography of the virtual card (OpenSSL): PIN key derivation, authenticated
// encryption, the card's storage key, RSA key pairs and the attestation key.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/CardRecords.h"

typedef struct evp_pkey_st EVP_PKEY;
typedef struct evp_mac_ctx_st EVP_MAC_CTX;

namespace Vellumcrest {
namespace Core {

// Byte buffer for secrets: wiped before it is released or overwritten.
class SecureBytes {
public:
    SecureBytes() = default;
    explicit SecureBytes(size_t size) : bytes_(size) {}
    SecureBytes(const unsigned char* data, size_t size) { assign(data, size); }
    SecureBytes(const SecureBytes& other) { assign(other.data(), other.size()); }
    SecureBytes(SecureBytes&& other) noexcept : bytes_(std::move(other.bytes_)) {}
    SecureBytes& operator=(const SecureBytes& other);
    SecureBytes& operator=(SecureBytes&& other) noexcept;
    ~SecureBytes() { clear(); }

    void assign(const unsigned char* data, size_t size);
    // Wipes the content and makes the buffer size bytes long (zeroed).
    void reset(size_t size);
    void clear();
    unsigned char* data() { return bytes_.data(); }
    const unsigned char* data() const { return bytes_.data(); }
    size_t size() const { return bytes_.size(); }
    bool empty() const { return bytes_.empty(); }

private:
    std::vector<unsigned char> bytes_;
};

struct PkeyDeleter {
    void operator()(EVP_PKEY* key) const;
};
using PkeyPtr = std::unique_ptr<EVP_PKEY, PkeyDeleter>;

namespace CardCrypto {

constexpr size_t kSaltSize = 16;
constexpr size_t kKeySize = 32;        // AES-256 keys, PIN verifiers, X25519 keys
constexpr size_t kNonceSize = 12;
constexpr size_t kTagSize = 16;
constexpr size_t kSealOverhead = kNonceSize + kTagSize;
#ifdef VC_FUZZ_PIN_ITERATIONS
constexpr uint32_t kDefaultPinIterations = VC_FUZZ_PIN_ITERATIONS;  // fuzzing builds only
#else
constexpr uint32_t kDefaultPinIterations = 100000;
#endif

// Fetches the algorithms used for PINs and sealing (done on first use otherwise); they are
// freed when the library is unloaded.
void PrepareAlgorithms();

bool RandomBytes(unsigned char* out, size_t size);
std::vector<unsigned char> RandomVector(size_t size);
std::string RandomHex(size_t bytes, bool upper);
std::string ToHex(const unsigned char* data, size_t size);
std::vector<unsigned char> Sha256(const unsigned char* data, size_t size);
std::vector<unsigned char> Sha1(const unsigned char* data, size_t size);
// Constant-time comparison.
bool Equal(const unsigned char* a, const unsigned char* b, size_t size);
// HMAC-SHA256 context keyed with key (pads computed once): duplicate it per MAC and call
// EVP_MAC_init with no key. Null when it could not be made; the caller frees it.
EVP_MAC_CTX* NewKeyedHmacSha256(const unsigned char* key, size_t keySize);
bool HmacSha256(const unsigned char* key, size_t keySize, const unsigned char* data, size_t size,
                unsigned char out[32]);

// PBKDF2-HMAC-SHA256 of the PIN: the master secret from which the verifier and the key
// encryption key are taken (two HMACs with distinct labels).
bool DerivePinMaster(const unsigned char* pin, size_t length, const std::vector<unsigned char>& salt,
                     uint32_t iterations, SecureBytes* master);
bool PinVerifier(const SecureBytes& master, std::vector<unsigned char>* verifier);
bool PinKek(const SecureBytes& master, SecureBytes* kek);

// AES-256-GCM: sealed = nonce | ciphertext | tag.
bool Seal(const unsigned char* key, const unsigned char* plain, size_t size, const std::string& aad,
          std::vector<unsigned char>* sealed);
bool Open(const unsigned char* key, const std::vector<unsigned char>& sealed, const std::string& aad,
          SecureBytes* plain);

// X25519 storage key of a card.
bool GenerateStorageKey(SecureBytes* privateKey, std::vector<unsigned char>* publicKey);
bool StoragePublicFromPrivate(const SecureBytes& privateKey, std::vector<unsigned char>* publicKey);
// Encrypts a secret to the storage public key: an ephemeral X25519 agreement gives, through
// HKDF-SHA256, the AES-256-GCM key. wrapped = ephemeral public | sealed.
bool WrapToStorage(const std::vector<unsigned char>& storagePublic, const SecureBytes& secret,
                   const std::string& aad, std::vector<unsigned char>* wrapped);
// storagePublic is the public half of storagePrivate (kept beside it on the card).
bool UnwrapWithStorage(const SecureBytes& storagePrivate, const std::vector<unsigned char>& storagePublic,
                       const std::vector<unsigned char>& wrapped, const std::string& aad, SecureBytes* secret);

// RSA.
PkeyPtr GenerateRsa(int bits);
// Key from its components; null when they do not form a consistent key pair.
PkeyPtr RsaFromParam(const RsaParam& param);
PkeyPtr RsaPublicFromComponents(const std::vector<unsigned char>& modulus,
                                const std::vector<unsigned char>& exponent);
bool RsaComponents(EVP_PKEY* key, std::vector<unsigned char>* modulus, std::vector<unsigned char>* exponent);
// Modulus length in bytes.
size_t RsaSize(EVP_PKEY* key);
bool PrivateKeyToDer(EVP_PKEY* key, SecureBytes* der);
// PKCS#8 DER; RSA keys are built from their components, without OpenSSL's generic decoder.
PkeyPtr PrivateKeyFromDer(const SecureBytes& der);
// SubjectPublicKeyInfo (DER) of any key.
bool PublicKeyInfoDer(EVP_PKEY* key, std::vector<unsigned char>* der);
// Raw PKCS#1 v1.5 block type 1 over data (no digest is applied).
bool RsaSignRaw(EVP_PKEY* key, const unsigned char* data, size_t size, std::vector<unsigned char>* signature);
// PKCS#1 v1.5 block type 2; false on any failure, bad padding included.
bool RsaDecrypt(EVP_PKEY* key, const unsigned char* in, size_t size, SecureBytes* plain);

// Attestation key (ECDSA P-256) kept as PKCS#8 DER.
bool GenerateAttestationKey(SecureBytes* der);
bool AttestationSign(const SecureBytes& der, const unsigned char* data, size_t size,
                     std::vector<unsigned char>* signature);
bool AttestationPublicInfo(const SecureBytes& der, std::vector<unsigned char>* spki);


// RSA-PSS and RSA-OAEP with MGF1. Hashes are core hash types (SHA-1 and SHA-2 only).
bool RsaSignPss(EVP_PKEY* key, HashType hash, HashType mgfHash, size_t saltLength, const unsigned char* digest,
                size_t size, std::vector<unsigned char>* signature);
// True only for a valid signature with exactly that salt length.
bool RsaVerifyPss(EVP_PKEY* key, HashType hash, HashType mgfHash, size_t saltLength, const unsigned char* digest,
                  size_t size, const unsigned char* signature, size_t signatureSize);
bool RsaEncryptOaep(EVP_PKEY* key, HashType hash, HashType mgfHash, const unsigned char* label, size_t labelSize,
                    const unsigned char* in, size_t size, std::vector<unsigned char>* out);
// False on any failure, bad padding included (no detail: a padding oracle must learn nothing).
bool RsaDecryptOaep(EVP_PKEY* key, HashType hash, HashType mgfHash, const unsigned char* label, size_t labelSize,
                    const unsigned char* in, size_t size, SecureBytes* plain);

}  // namespace CardCrypto
}  // namespace Core
}  // namespace Vellumcrest
