// Helpers for the tests: RSA/EC keys and X.509 certificates made on the fly with OpenSSL, hash objects.
#pragma once

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include "core/CardRecords.h"
#include "core/Hash.h"

#include <memory>
#include <string>
#include <vector>

namespace coretest {

struct PkeyFree { void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); } };
struct X509Free { void operator()(X509* p) const { X509_free(p); } };
using Pkey = std::unique_ptr<EVP_PKEY, PkeyFree>;
using Cert = std::unique_ptr<X509, X509Free>;
using Bytes = std::vector<unsigned char>;

inline Pkey RsaKey(unsigned bits) { return Pkey(EVP_RSA_gen(bits)); }

inline Pkey EcKey() { return Pkey(EVP_EC_gen("P-256")); }

inline Bytes BnParam(EVP_PKEY* key, const char* name) {
    BIGNUM* value = nullptr;
    EVP_PKEY_get_bn_param(key, name, &value);
    Bytes out(BN_num_bytes(value));
    BN_bn2bin(value, out.data());
    BN_free(value);
    return out;
}

inline Bytes Modulus(EVP_PKEY* key) { return BnParam(key, OSSL_PKEY_PARAM_RSA_N); }
inline Bytes Exponent(EVP_PKEY* key) { return BnParam(key, OSSL_PKEY_PARAM_RSA_E); }

// PKCS#1 v1.5 verification and encryption with OpenSSL, to check what a card did.
inline bool VerifiesPkcs1(EVP_PKEY* key, const Bytes& data, const unsigned char* signature, size_t size) {
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(key, nullptr);
    bool ok = ctx != nullptr && EVP_PKEY_verify_init(ctx) == 1 &&
              EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING) == 1 &&
              EVP_PKEY_verify(ctx, signature, size, data.data(), data.size()) == 1;
    EVP_PKEY_CTX_free(ctx);
    return ok;
}

inline Bytes EncryptPkcs1(EVP_PKEY* key, const std::string& text) {
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(key, nullptr);
    size_t length = 0;
    Bytes out;
    const auto* in = reinterpret_cast<const unsigned char*>(text.data());
    if (ctx != nullptr && EVP_PKEY_encrypt_init(ctx) == 1 &&
        EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING) == 1 &&
        EVP_PKEY_encrypt(ctx, nullptr, &length, in, text.size()) == 1) {
        out.resize(length);
        if (EVP_PKEY_encrypt(ctx, out.data(), &length, in, text.size()) != 1) length = 0;
        out.resize(length);
    }
    EVP_PKEY_CTX_free(ctx);
    return out;
}

// The private components of an OpenSSL RSA key, as the card core imports them.
inline Vellumcrest::Core::RsaParam RsaParamOf(EVP_PKEY* key) {
    using Vellumcrest::Core::RsaParam;
    RsaParam param;
    auto set = [&](void (RsaParam::*setter)(const unsigned char*, unsigned long), const char* name) {
        Bytes value = BnParam(key, name);
        (param.*setter)(value.data(), value.size());
    };
    set(&RsaParam::SetModulus, "n");
    set(&RsaParam::SetExponent, "e");
    set(&RsaParam::SetD, "d");
    set(&RsaParam::SetP, "rsa-factor1");
    set(&RsaParam::SetQ, "rsa-factor2");
    set(&RsaParam::SetDP, "rsa-exponent1");
    set(&RsaParam::SetDQ, "rsa-exponent2");
    set(&RsaParam::SetInverseQ, "rsa-coefficient1");
    return param;
}

struct CertOptions {
    std::string subjectCN = "Test";
    std::string issuerCN;          // empty: self-issued (issuer = subject)
    long serial = 1;
    bool ca = false;               // basicConstraints cA TRUE
    bool basicConstraintsFalse = false;
    const EVP_MD* md = nullptr;    // default SHA-256
};

// Certificate for subjectKey, signed by signerKey (subjectKey when null).
inline Cert MakeCert(EVP_PKEY* subjectKey, EVP_PKEY* signerKey, const CertOptions& options) {
    X509* x = X509_new();
    X509_set_version(x, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(x), options.serial);
    X509_gmtime_adj(X509_getm_notBefore(x), 0);
    X509_gmtime_adj(X509_getm_notAfter(x), 3600);
    X509_set_pubkey(x, subjectKey);
    X509_NAME* subject = X509_get_subject_name(x);
    X509_NAME_add_entry_by_txt(subject, "O", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("Vellumcrest Tests"),
                               -1, -1, 0);
    X509_NAME_add_entry_by_txt(subject, "CN", MBSTRING_UTF8,
                               reinterpret_cast<const unsigned char*>(options.subjectCN.c_str()), -1, -1, 0);
    X509_NAME* issuer = X509_NAME_new();
    X509_NAME_add_entry_by_txt(issuer, "O", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("Vellumcrest Tests"),
                               -1, -1, 0);
    const std::string& issuerCN = options.issuerCN.empty() ? options.subjectCN : options.issuerCN;
    X509_NAME_add_entry_by_txt(issuer, "CN", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>(issuerCN.c_str()),
                               -1, -1, 0);
    X509_set_issuer_name(x, issuer);
    X509_NAME_free(issuer);
    if (options.ca || options.basicConstraintsFalse) {
        X509V3_CTX context;
        X509V3_set_ctx_nodb(&context);
        X509V3_set_ctx(&context, x, x, nullptr, nullptr, 0);
        X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, NID_basic_constraints,
                                                        options.ca ? "critical,CA:TRUE" : "CA:FALSE");
        X509_add_ext(x, extension, -1);
        X509_EXTENSION_free(extension);
        if (options.ca) {
            extension = X509V3_EXT_conf_nid(nullptr, &context, NID_subject_key_identifier, "hash");
            X509_add_ext(x, extension, -1);
            X509_EXTENSION_free(extension);
        }
    }
    X509_sign(x, signerKey != nullptr ? signerKey : subjectKey, options.md != nullptr ? options.md : EVP_sha256());
    return Cert(x);
}

inline Bytes Der(X509* x) {
    int length = i2d_X509(x, nullptr);
    Bytes out(length);
    unsigned char* p = out.data();
    i2d_X509(x, &p);
    return out;
}

// Raw PKCS#1 v1.5 type-1 signature over data (no DigestInfo added).
inline Bytes SignRaw(EVP_PKEY* key, const Bytes& data) {
    EVP_PKEY_CTX* context = EVP_PKEY_CTX_new(key, nullptr);
    EVP_PKEY_sign_init(context);
    EVP_PKEY_CTX_set_rsa_padding(context, RSA_PKCS1_PADDING);
    size_t length = 0;
    EVP_PKEY_sign(context, nullptr, &length, data.data(), data.size());
    Bytes out(length);
    if (EVP_PKEY_sign(context, out.data(), &length, data.data(), data.size()) != 1) out.clear();
    else out.resize(length);
    EVP_PKEY_CTX_free(context);
    return out;
}

inline Bytes DecryptPkcs1(EVP_PKEY* key, const Bytes& cipher) {
    EVP_PKEY_CTX* context = EVP_PKEY_CTX_new(key, nullptr);
    EVP_PKEY_decrypt_init(context);
    EVP_PKEY_CTX_set_rsa_padding(context, RSA_PKCS1_PADDING);
    size_t length = 0;
    EVP_PKEY_decrypt(context, nullptr, &length, cipher.data(), cipher.size());
    Bytes out(length);
    if (EVP_PKEY_decrypt(context, out.data(), &length, cipher.data(), cipher.size()) != 1) out.clear();
    else out.resize(length);
    EVP_PKEY_CTX_free(context);
    return out;
}

inline Bytes Digest(const EVP_MD* md, const Bytes& data) {
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(data.data(), data.size(), out, &length, md, nullptr);
    return Bytes(out, out + length);
}

inline std::string Hex(const unsigned char* data, size_t length) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (size_t i = 0; i < length; ++i) {
        out += digits[data[i] >> 4];
        out += digits[data[i] & 15];
    }
    return out;
}
inline std::string Hex(const Bytes& b) { return Hex(b.data(), b.size()); }

inline Bytes ToBytes(const std::string& s) { return Bytes(s.begin(), s.end()); }

inline std::unique_ptr<Vellumcrest::Core::Hash> MakeHash(Vellumcrest::Core::HashType type) {
    using namespace Vellumcrest::Core;
    switch (type) {
        case HashTypeMd4: return std::make_unique<HashMd4>();
        case HashTypeMd5: return std::make_unique<HashMd5>();
        case HashTypeSha1: return std::make_unique<HashSha1>();
        case HashTypeSha224: return std::make_unique<HashSha224>();
        case HashTypeSha256: return std::make_unique<HashSha256>();
        case HashTypeSha384: return std::make_unique<HashSha384>();
        case HashTypeSha512: return std::make_unique<HashSha512>();
        default: return std::make_unique<HashSsl3>();
    }
}

}  // namespace coretest
