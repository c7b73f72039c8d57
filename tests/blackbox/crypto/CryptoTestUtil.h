// Helpers of the cryptographic black-box tests: the shared virtual cards, key look-up and
// independent RSA and digest computations with OpenSSL.
#pragma once

#include <openssl/evp.h>
#include <openssl/rsa.h>

#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/CardKeys.h"

namespace cryptotest {

using Bytes = std::vector<unsigned char>;

constexpr const char* kUserPin = "Vk39pQ";
constexpr const char* kSoPin = "58203746";
// Readers: R1 holds a type-1 card with a 2048-bit and a 1024-bit key and a data object,
// R4 a type-4 card with an e-signature key.
constexpr const char* kKey2048Id = "a1";
constexpr const char* kKey1024Id = "b2";
constexpr const char* kEsignId = "e5";

inline CK_FUNCTION_LIST_PTR P11() { return vctest::TestEnv::Get().P11(); }

inline void EnsureInitialised() { vctest::InitialiseModule(); }

// Makes the readers and cards once per test binary.
inline void EnsureCards() {
    static bool made = false;
    if (made) return;
    made = true;
    vctest::TestEnv& env = vctest::TestEnv::Get();
    env.ResetReaders();
    std::string r1 = env.MakeReaderWithCard("R1", 1, kUserPin, kSoPin);
    env.ToolOk("key-generate " + r1 + " --bits 2048 --id " + kKey2048Id + " --label big --usage sign,decrypt");
    env.ToolOk("key-generate " + r1 + " --bits 1024 --id " + kKey1024Id + " --label small --usage sign,decrypt");
    vctest::WriteFile(env.Path("note.txt"), "not a key");
    env.ToolOk("data-add " + r1 + " --file '" + env.Path("note.txt") + "' --label note");
    std::string r4 = env.MakeReaderWithCard("R4", 4, kUserPin, kSoPin);
    env.ToolOk("key-generate " + r4 + " --bits 2048 --id " + kEsignId + " --label esig --usage sign,esign");
}

using vctest::Attribute;
using vctest::SlotOf;

inline CK_RV Login(CK_SESSION_HANDLE session, CK_USER_TYPE type = CKU_USER) {
    return P11()->C_Login(session, type, reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>(kUserPin)),
                          std::strlen(kUserPin));
}

// The object of a class with a CKA_ID given in hex; 0 when not found.
inline CK_OBJECT_HANDLE FindKey(CK_SESSION_HANDLE session, CK_OBJECT_CLASS cls, const std::string& idHex) {
    return vctest::OneObject(session, cls, vctest::FromHex(idHex));
}

inline CK_OBJECT_HANDLE FindFirstOfClass(CK_SESSION_HANDLE session, CK_OBJECT_CLASS cls) {
    CK_ATTRIBUTE tmpl[] = {{CKA_CLASS, &cls, sizeof cls}};
    std::vector<CK_OBJECT_HANDLE> found = vctest::FindAll(session, tmpl, 1);
    return found.empty() ? 0 : found[0];
}

// OpenSSL public key from the token's CKA_MODULUS and CKA_PUBLIC_EXPONENT.
class PublicKey {
public:
    PublicKey(const Bytes& modulus, const Bytes& exponent) : key_(vctest::RsaPublicKey(modulus, exponent)) {}
    PublicKey(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object) : key_(vctest::RsaPublicKey(session, object)) {}
    ~PublicKey() { EVP_PKEY_free(key_); }
    PublicKey(const PublicKey&) = delete;
    PublicKey& operator=(const PublicKey&) = delete;

    bool Valid() const { return key_ != nullptr; }

    // The data that a PKCS#1 v1.5 signature carries, or empty when it does not verify.
    Bytes Recover(const Bytes& signature) const {
        return Run(signature, RSA_PKCS1_PADDING, EVP_PKEY_verify_recover_init, EVP_PKEY_verify_recover);
    }
    Bytes Encrypt(const Bytes& data, int padding = RSA_PKCS1_PADDING) const {
        return Run(data, padding, EVP_PKEY_encrypt_init, EVP_PKEY_encrypt);
    }

private:
    template <typename Init, typename Op>
    Bytes Run(const Bytes& in, int padding, Init init, Op op) const {
        Bytes out(512);
        size_t length = out.size();
        EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(key_, nullptr);
        bool ok = ctx != nullptr && init(ctx) == 1 && EVP_PKEY_CTX_set_rsa_padding(ctx, padding) == 1 &&
                  op(ctx, out.data(), &length, in.data(), in.size()) == 1;
        EVP_PKEY_CTX_free(ctx);
        out.resize(ok ? length : 0);
        return out;
    }
    EVP_PKEY* key_ = nullptr;
};

inline Bytes Digest(const char* name, const Bytes& data) {
    Bytes out(EVP_MAX_MD_SIZE);
    unsigned int length = 0;
    EVP_Digest(data.data(), data.size(), out.data(), &length, EVP_get_digestbyname(name), nullptr);
    out.resize(length);
    return out;
}

// DER DigestInfo of SHA-256 over data.
inline Bytes Sha256DigestInfo(const Bytes& data) {
    Bytes info = vctest::FromHex("3031300d060960864801650304020105000420");
    Bytes digest = Digest("SHA256", data);
    info.insert(info.end(), digest.begin(), digest.end());
    return info;
}

inline Bytes Text(const std::string& text) { return Bytes(text.begin(), text.end()); }

inline std::string HexOf(const Bytes& bytes) { return vctest::Hex(bytes.data(), bytes.size()); }

// Base fixture: module initialised, cards present, sessions of both slots closed after
// each test.
class CryptoTest : public ::testing::Test {
protected:
    void SetUp() override {
        EnsureInitialised();
        EnsureCards();
        slot1_ = SlotOf("R1");
        slot4_ = SlotOf("R4");
        ASSERT_NE(slot1_, 0u);
        ASSERT_NE(slot4_, 0u);
    }
    void TearDown() override {
        P11()->C_CloseAllSessions(slot1_);
        P11()->C_CloseAllSessions(slot4_);
    }
    // A logged-in session on R1 and the handles of its two key pairs.
    void OpenR1() {
        session_ = UserSession(slot1_);
        priv2048_ = FindKey(session_, CKO_PRIVATE_KEY, kKey2048Id);
        pub2048_ = FindKey(session_, CKO_PUBLIC_KEY, kKey2048Id);
        priv1024_ = FindKey(session_, CKO_PRIVATE_KEY, kKey1024Id);
        pub1024_ = FindKey(session_, CKO_PUBLIC_KEY, kKey1024Id);
    }
    // C_SignInit, C_VerifyInit, C_EncryptInit or C_DecryptInit with a mechanism without parameters.
    static CK_RV Init(CK_C_SignInit init, CK_SESSION_HANDLE session, CK_OBJECT_HANDLE key,
                      CK_MECHANISM_TYPE type = CKM_RSA_PKCS) {
        CK_MECHANISM mechanism = {type, nullptr, 0};
        return init(session, &mechanism, key);
    }
    // A one-part call (C_Sign, C_Encrypt, C_Decrypt) into a buffer of the given room.
    static CK_RV Call(CK_C_Sign fn, CK_SESSION_HANDLE session, const Bytes& in, Bytes* out, CK_ULONG room = 512) {
        out->assign(room, 0);
        CK_ULONG length = room;
        CK_RV rv = fn(session, const_cast<unsigned char*>(in.data()), in.size(), out->data(), &length);
        if (rv == CKR_OK) out->resize(length);
        return rv;
    }
    CK_SESSION_HANDLE session_ = 0;
    CK_OBJECT_HANDLE priv2048_ = 0, pub2048_ = 0, priv1024_ = 0, pub1024_ = 0;
    // A session on R1, logged in as the user when login is true.
    CK_SESSION_HANDLE UserSession(CK_SLOT_ID slot, bool login = true) {
        CK_SESSION_HANDLE session = vctest::OpenSession(slot, false);
        if (login) {
            EXPECT_EQ(Login(session), CKR_OK);
        }
        return session;
    }

    CK_SLOT_ID slot1_ = 0;
    CK_SLOT_ID slot4_ = 0;
};

}  // namespace cryptotest
