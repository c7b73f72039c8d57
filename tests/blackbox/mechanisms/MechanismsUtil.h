// Helpers of the extended-mechanism tests: the module runs with ExtendedMechanisms=1 on the
// cards of the cryptographic suite; OpenSSL checks every signature and ciphertext.
#pragma once

#include <openssl/evp.h>
#include <openssl/rsa.h>

#include "blackbox/crypto/CryptoTestUtil.h"

namespace mechtest {

using cryptotest::Bytes;
using cryptotest::HexOf;
using cryptotest::P11;
using cryptotest::Text;

// A SHA-1/SHA-2 hash as PKCS#11 names it and as OpenSSL does.
struct HashCase {
    CK_MECHANISM_TYPE digest;     // CKM_SHA256 ...
    CK_RSA_PKCS_MGF_TYPE mgf;     // CKG_MGF1_SHA256 ...
    CK_MECHANISM_TYPE pkcs1;      // CKM_SHA256_RSA_PKCS ...
    CK_MECHANISM_TYPE pss;        // CKM_SHA256_RSA_PKCS_PSS ...
    const char* name;             // "SHA256" ...
    CK_ULONG size;
};

inline const std::vector<HashCase>& Hashes() {
    static const std::vector<HashCase> hashes = {
        {CKM_SHA_1, CKG_MGF1_SHA1, CKM_SHA1_RSA_PKCS, CKM_SHA1_RSA_PKCS_PSS, "SHA1", 20},
        {CKM_SHA224, CKG_MGF1_SHA224, CKM_SHA224_RSA_PKCS, CKM_SHA224_RSA_PKCS_PSS, "SHA224", 28},
        {CKM_SHA256, CKG_MGF1_SHA256, CKM_SHA256_RSA_PKCS, CKM_SHA256_RSA_PKCS_PSS, "SHA256", 32},
        {CKM_SHA384, CKG_MGF1_SHA384, CKM_SHA384_RSA_PKCS, CKM_SHA384_RSA_PKCS_PSS, "SHA384", 48},
        {CKM_SHA512, CKG_MGF1_SHA512, CKM_SHA512_RSA_PKCS, CKM_SHA512_RSA_PKCS_PSS, "SHA512", 64},
    };
    return hashes;
}

// OpenSSL's verdict on a signature over a digest: PKCS#1 v1.5 (saltLength < 0) or PSS.
inline bool OpenSslVerifies(EVP_PKEY* key, const char* md, int saltLength, const Bytes& digest, const Bytes& sig) {
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(key, nullptr);
    bool ok = ctx != nullptr && EVP_PKEY_verify_init(ctx) == 1 &&
              EVP_PKEY_CTX_set_signature_md(ctx, EVP_get_digestbyname(md)) == 1;
    if (ok && saltLength >= 0)
        ok = EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PSS_PADDING) == 1 &&
             EVP_PKEY_CTX_set_rsa_mgf1_md(ctx, EVP_get_digestbyname(md)) == 1 &&
             EVP_PKEY_CTX_set_rsa_pss_saltlen(ctx, saltLength) == 1;
    else if (ok)
        ok = EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING) == 1;
    ok = ok && EVP_PKEY_verify(ctx, sig.data(), sig.size(), digest.data(), digest.size()) == 1;
    EVP_PKEY_CTX_free(ctx);
    return ok;
}

// OAEP encryption by OpenSSL to the token's public key.
inline Bytes OpenSslOaepEncrypt(EVP_PKEY* key, const char* md, const Bytes& label, const Bytes& data) {
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(key, nullptr);
    Bytes out(512);
    size_t length = out.size();
    bool ok = ctx != nullptr && EVP_PKEY_encrypt_init(ctx) == 1 &&
              EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_OAEP_PADDING) == 1 &&
              EVP_PKEY_CTX_set_rsa_oaep_md(ctx, EVP_get_digestbyname(md)) == 1 &&
              EVP_PKEY_CTX_set_rsa_mgf1_md(ctx, EVP_get_digestbyname(md)) == 1;
    if (ok && !label.empty()) {
        void* copy = OPENSSL_memdup(label.data(), label.size());
        ok = EVP_PKEY_CTX_set0_rsa_oaep_label(ctx, copy, static_cast<int>(label.size())) == 1;
    }
    ok = ok && EVP_PKEY_encrypt(ctx, out.data(), &length, data.data(), data.size()) == 1;
    EVP_PKEY_CTX_free(ctx);
    out.resize(ok ? length : 0);
    return out;
}

// Fixture on the shared cards with helpers for mechanisms that take parameters.
class MechanismTest : public cryptotest::CryptoTest {
protected:
    static CK_RSA_PKCS_PSS_PARAMS Pss(const HashCase& hash, CK_ULONG salt) { return {hash.digest, hash.mgf, salt}; }
    static CK_RSA_PKCS_OAEP_PARAMS Oaep(const HashCase& hash, Bytes* label) {
        return {hash.digest, hash.mgf, CKZ_DATA_SPECIFIED, label->empty() ? nullptr : label->data(), label->size()};
    }
    template <typename Params>
    static CK_RV InitWith(CK_C_SignInit init, CK_SESSION_HANDLE session, CK_MECHANISM_TYPE type, Params* params,
                          CK_OBJECT_HANDLE key) {
        CK_MECHANISM mechanism = {type, params, params != nullptr ? sizeof *params : 0};
        return init(session, &mechanism, key);
    }
    static CK_RV InitPlain(CK_C_SignInit init, CK_SESSION_HANDLE session, CK_MECHANISM_TYPE type,
                           CK_OBJECT_HANDLE key) {
        CK_MECHANISM mechanism = {type, nullptr, 0};
        return init(session, &mechanism, key);
    }
    static CK_RV Verify(CK_SESSION_HANDLE session, const Bytes& data, const Bytes& signature) {
        return P11()->C_Verify(session, const_cast<unsigned char*>(data.data()), data.size(),
                               const_cast<unsigned char*>(signature.data()), signature.size());
    }
    // Feeds data in three parts.
    static CK_RV Update(CK_C_SignUpdate update, CK_SESSION_HANDLE session, const Bytes& data) {
        size_t third = data.size() / 3;
        size_t cuts[] = {0, third, 2 * third, data.size()};
        for (int i = 0; i < 3; ++i) {
            CK_RV rv = update(session, const_cast<unsigned char*>(data.data()) + cuts[i], cuts[i + 1] - cuts[i]);
            if (rv != CKR_OK) return rv;
        }
        return CKR_OK;
    }
    static CK_RV SignFinal(CK_SESSION_HANDLE session, Bytes* signature, CK_ULONG room = 512) {
        signature->assign(room, 0);
        CK_ULONG length = room;
        CK_RV rv = P11()->C_SignFinal(session, signature->data(), &length);
        if (rv == CKR_OK) signature->resize(length);
        return rv;
    }
    static CK_RV VerifyFinal(CK_SESSION_HANDLE session, const Bytes& signature) {
        return P11()->C_VerifyFinal(session, const_cast<unsigned char*>(signature.data()), signature.size());
    }
};

}  // namespace mechtest
