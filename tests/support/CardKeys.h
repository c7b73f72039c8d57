// Helpers shared by the black-box suites: slots by reader name, objects by class and
// CKA_ID, attribute reads, the OpenSSL public key rebuilt from a token's RSA key, and the
// check of a key's proof of origin against the card's attestation key.
#pragma once

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/x509.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/TestEnv.h"

namespace vctest {

// C_Initialize, accepting a module that is initialised already.
inline void InitialiseModule() {
    CK_RV rv = TestEnv::Get().P11()->C_Initialize(nullptr);
    ASSERT_TRUE(rv == CKR_OK || rv == CKR_CRYPTOKI_ALREADY_INITIALIZED) << std::hex << rv;
}

// Token slot whose reader description is the name (blank padded), through p11.
inline CK_SLOT_ID SlotOf(const std::string& reader, CK_FUNCTION_LIST_PTR p11 = TestEnv::Get().P11()) {
    CK_SLOT_ID slots[32];
    CK_ULONG count = 32;
    EXPECT_EQ(p11->C_GetSlotList(CK_TRUE, slots, &count), CKR_OK);
    for (CK_ULONG i = 0; i < count; ++i) {
        CK_SLOT_INFO info;
        if (p11->C_GetSlotInfo(slots[i], &info) != CKR_OK) continue;
        std::string name(reinterpret_cast<const char*>(info.slotDescription), sizeof info.slotDescription);
        name.erase(name.find_last_not_of(' ') + 1);
        if (name == reader) return slots[i];
    }
    ADD_FAILURE() << "no token slot for reader " << reader;
    return 0;
}

// The one object of a class with that CKA_ID; 0 (and a failure) unless there is exactly one.
inline CK_OBJECT_HANDLE OneObject(CK_SESSION_HANDLE session, CK_OBJECT_CLASS cls, std::vector<unsigned char> id) {
    CK_ATTRIBUTE tmpl[] = {{CKA_CLASS, &cls, sizeof cls}, {CKA_ID, id.data(), id.size()}};
    std::vector<CK_OBJECT_HANDLE> found = FindAll(session, tmpl, 2);
    EXPECT_EQ(found.size(), 1u) << "class " << cls << " id " << Hex(id.data(), id.size());
    return found.empty() ? 0 : found[0];
}

// Length query, then value; CK_UNAVAILABLE_INFORMATION gives an empty value.
inline CK_RV ReadAttribute(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type,
                           std::vector<unsigned char>* value) {
    CK_FUNCTION_LIST_PTR p11 = TestEnv::Get().P11();
    CK_ATTRIBUTE attribute = {type, nullptr, 0};
    value->clear();
    CK_RV rv = p11->C_GetAttributeValue(session, object, &attribute, 1);
    if (rv != CKR_OK || attribute.ulValueLen == CK_UNAVAILABLE_INFORMATION || attribute.ulValueLen == 0) return rv;
    value->assign(attribute.ulValueLen, 0xEE);
    attribute.pValue = value->data();
    rv = p11->C_GetAttributeValue(session, object, &attribute, 1);
    if (rv == CKR_OK) value->resize(attribute.ulValueLen);
    return rv;
}

// The value of an attribute; fails the test unless the read gives CKR_OK.
inline std::vector<unsigned char> Attribute(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object,
                                            CK_ATTRIBUTE_TYPE type) {
    std::vector<unsigned char> value;
    EXPECT_EQ(ReadAttribute(session, object, type, &value), CKR_OK) << "attribute 0x" << std::hex << type;
    return value;
}

// OpenSSL RSA public key from a modulus and a public exponent (big-endian); null on failure.
inline EVP_PKEY* RsaPublicKey(const std::vector<unsigned char>& modulus, const std::vector<unsigned char>& exponent) {
    BIGNUM* n = BN_bin2bn(modulus.data(), static_cast<int>(modulus.size()), nullptr);
    BIGNUM* e = BN_bin2bn(exponent.data(), static_cast<int>(exponent.size()), nullptr);
    OSSL_PARAM_BLD* bld = OSSL_PARAM_BLD_new();
    OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_N, n);
    OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_E, e);
    OSSL_PARAM* params = OSSL_PARAM_BLD_to_param(bld);
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr);
    EVP_PKEY* key = nullptr;
    if (ctx != nullptr && EVP_PKEY_fromdata_init(ctx) == 1) EVP_PKEY_fromdata(ctx, &key, EVP_PKEY_PUBLIC_KEY, params);
    EVP_PKEY_CTX_free(ctx);
    OSSL_PARAM_free(params);
    OSSL_PARAM_BLD_free(bld);
    BN_free(n);
    BN_free(e);
    return key;
}

// The same, from the CKA_MODULUS and CKA_PUBLIC_EXPONENT of a token key.
inline EVP_PKEY* RsaPublicKey(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE key) {
    return RsaPublicKey(Attribute(session, key, CKA_MODULUS), Attribute(session, key, CKA_PUBLIC_EXPONENT));
}

using Bytes = std::vector<unsigned char>;

// SubjectPublicKeyInfo (DER) of the card's attestation key, from the card tool's dump.
inline Bytes AttestationKey(const std::string& card) {
    std::string dump = TestEnv::Get().ToolOk("dump " + card);
    const std::string marker = "attestation key: ";
    size_t at = dump.find(marker);
    if (at == std::string::npos) {
        ADD_FAILURE() << "no attestation key in the dump: " << dump;
        return {};
    }
    size_t begin = at + marker.size();
    size_t end = dump.find_first_not_of("0123456789abcdefABCDEF", begin);
    return FromHex(dump.substr(begin, end - begin));
}

// SubjectPublicKeyInfo (DER) of an RSA public key.
inline Bytes RsaKeyInfo(const Bytes& modulus, const Bytes& exponent) {
    EVP_PKEY* key = RsaPublicKey(modulus, exponent);
    Bytes info;
    unsigned char* out = nullptr;
    int length = key != nullptr ? i2d_PUBKEY(key, &out) : 0;
    if (length > 0) info.assign(out, out + length);
    OPENSSL_free(out);
    EVP_PKEY_free(key);
    EXPECT_FALSE(info.empty());
    return info;
}

// True when signature is a SHA-256 signature of data by the key (SubjectPublicKeyInfo DER).
inline bool VerifiesWith(const Bytes& keyInfo, const Bytes& data, const Bytes& signature) {
    const unsigned char* p = keyInfo.data();
    EVP_PKEY* key = d2i_PUBKEY(nullptr, &p, static_cast<long>(keyInfo.size()));
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    bool valid = key != nullptr && context != nullptr &&
                 EVP_DigestVerifyInit(context, nullptr, EVP_sha256(), nullptr, key) == 1 &&
                 EVP_DigestVerify(context, signature.data(), signature.size(), data.data(), data.size()) == 1;
    EVP_MD_CTX_free(context);
    EVP_PKEY_free(key);
    return valid;
}

}  // namespace vctest
