// PSS and hash-and-sign signatures made on the card, checked by OpenSSL with the token's
// public key and by C_Verify; the multi-part calls and their PKCS#11 rules.
#include "MechanismsUtil.h"

namespace mechtest {
namespace {

class SignMechanismTest : public MechanismTest {
protected:
    void SetUp() override {
        MechanismTest::SetUp();
        OpenR1();
    }
};

struct Pkey {
    explicit Pkey(EVP_PKEY* key) : key(key) {}
    ~Pkey() { EVP_PKEY_free(key); }
    EVP_PKEY* key;
};

TEST_F(SignMechanismTest, PssOverADigestForEveryHashAndBothKeySizes) {
    struct { CK_OBJECT_HANDLE priv, pub; CK_ULONG bytes; } keys[] = {{priv2048_, pub2048_, 256},
                                                                      {priv1024_, pub1024_, 128}};
    for (const auto& k : keys) {
        Pkey openssl(vctest::RsaPublicKey(session_, k.pub));
        for (const HashCase& hash : Hashes()) {
            // The longest salt a 1024-bit key takes with SHA-512 is 62 bytes.
            CK_ULONG salt = std::min<CK_ULONG>(hash.size, k.bytes - hash.size - 2);
            SCOPED_TRACE(std::string(hash.name) + " / " + std::to_string(k.bytes) + " / salt " +
                         std::to_string(salt));
            Bytes digest = cryptotest::Digest(hash.name, Text("pss message"));
            CK_RSA_PKCS_PSS_PARAMS params = Pss(hash, salt);
            ASSERT_EQ(InitWith(P11()->C_SignInit, session_, CKM_RSA_PKCS_PSS, &params, k.priv), CKR_OK);
            Bytes signature;
            ASSERT_EQ(Call(P11()->C_Sign, session_, digest, &signature), CKR_OK);
            EXPECT_EQ(signature.size(), k.bytes);
            EXPECT_TRUE(OpenSslVerifies(openssl.key, hash.name, static_cast<int>(salt), digest, signature));

            ASSERT_EQ(InitWith(P11()->C_VerifyInit, session_, CKM_RSA_PKCS_PSS, &params, k.pub), CKR_OK);
            EXPECT_EQ(Verify(session_, digest, signature), CKR_OK);
            Bytes wrong = signature;
            wrong[10] ^= 1;
            ASSERT_EQ(InitWith(P11()->C_VerifyInit, session_, CKM_RSA_PKCS_PSS, &params, k.pub), CKR_OK);
            EXPECT_EQ(Verify(session_, digest, wrong), CKR_SIGNATURE_INVALID);
        }
    }
    // Salt 0 and the longest salt of the key.
    const HashCase& sha256 = Hashes()[2];
    Pkey openssl(vctest::RsaPublicKey(session_, pub2048_));
    Bytes digest = cryptotest::Digest("SHA256", Text("salted"));
    for (CK_ULONG salt : {0UL, 256UL - 32 - 2}) {
        CK_RSA_PKCS_PSS_PARAMS params = Pss(sha256, salt);
        ASSERT_EQ(InitWith(P11()->C_SignInit, session_, CKM_RSA_PKCS_PSS, &params, priv2048_), CKR_OK);
        Bytes signature;
        ASSERT_EQ(Call(P11()->C_Sign, session_, digest, &signature), CKR_OK);
        EXPECT_TRUE(OpenSslVerifies(openssl.key, "SHA256", static_cast<int>(salt), digest, signature)) << salt;
    }
}

TEST_F(SignMechanismTest, PssParametersAreChecked) {
    const HashCase& sha256 = Hashes()[2];
    const HashCase& sha1 = Hashes()[0];
    auto signInit = [&](CK_MECHANISM_TYPE type, void* params, CK_ULONG length, CK_OBJECT_HANDLE key) {
        CK_MECHANISM mechanism = {type, params, length};
        return P11()->C_SignInit(session_, &mechanism, key);
    };
    CK_RSA_PKCS_PSS_PARAMS good = Pss(sha256, 32);
    EXPECT_EQ(signInit(CKM_RSA_PKCS_PSS, nullptr, 0, priv2048_), CKR_MECHANISM_PARAM_INVALID);
    EXPECT_EQ(signInit(CKM_RSA_PKCS_PSS, &good, sizeof good - 1, priv2048_), CKR_MECHANISM_PARAM_INVALID);
    CK_RSA_PKCS_PSS_PARAMS mixed = {CKM_SHA256, CKG_MGF1_SHA1, 32};
    EXPECT_EQ(signInit(CKM_RSA_PKCS_PSS, &mixed, sizeof mixed, priv2048_), CKR_MECHANISM_PARAM_INVALID);
    CK_RSA_PKCS_PSS_PARAMS md5 = {CKM_MD5, CKG_MGF1_SHA1, 16};
    EXPECT_EQ(signInit(CKM_RSA_PKCS_PSS, &md5, sizeof md5, priv2048_), CKR_MECHANISM_PARAM_INVALID);
    CK_RSA_PKCS_PSS_PARAMS tooSalty = Pss(sha256, 256 - 32 - 1);
    EXPECT_EQ(signInit(CKM_RSA_PKCS_PSS, &tooSalty, sizeof tooSalty, priv2048_), CKR_MECHANISM_PARAM_INVALID);
    CK_RSA_PKCS_PSS_PARAMS salty1024 = Pss(sha256, 128 - 32 - 1);
    EXPECT_EQ(signInit(CKM_RSA_PKCS_PSS, &salty1024, sizeof salty1024, priv1024_), CKR_MECHANISM_PARAM_INVALID);
    // A hash-and-sign PSS mechanism takes only its own hash.
    CK_RSA_PKCS_PSS_PARAMS other = Pss(sha1, 20);
    EXPECT_EQ(signInit(CKM_SHA256_RSA_PKCS_PSS, &other, sizeof other, priv2048_), CKR_MECHANISM_PARAM_INVALID);
    EXPECT_EQ(InitWith(P11()->C_VerifyInit, session_, CKM_SHA256_RSA_PKCS_PSS, &other, pub2048_),
              CKR_MECHANISM_PARAM_INVALID);
    // A refused init leaves no operation behind.
    Bytes digest(32, 7), signature;
    EXPECT_EQ(Call(P11()->C_Sign, session_, digest, &signature), CKR_OPERATION_NOT_INITIALIZED);

    // PSS over a digest takes exactly the digest's length.
    ASSERT_EQ(signInit(CKM_RSA_PKCS_PSS, &good, sizeof good, priv2048_), CKR_OK);
    EXPECT_EQ(Call(P11()->C_Sign, session_, Bytes(31, 1), &signature), CKR_DATA_LEN_RANGE);
    ASSERT_EQ(InitWith(P11()->C_VerifyInit, session_, CKM_RSA_PKCS_PSS, &good, pub2048_), CKR_OK);
    EXPECT_EQ(Verify(session_, Bytes(33, 1), Bytes(256, 1)), CKR_DATA_LEN_RANGE);
    // Mechanisms the table does not offer for signing.
    EXPECT_EQ(InitPlain(P11()->C_SignInit, session_, CKM_MD5_RSA_PKCS, priv2048_), CKR_MECHANISM_INVALID);
    EXPECT_EQ(InitPlain(P11()->C_SignInit, session_, CKM_RSA_PKCS_OAEP, priv2048_), CKR_MECHANISM_INVALID);
    EXPECT_EQ(InitPlain(P11()->C_VerifyInit, session_, CKM_RSA_X_509, pub2048_), CKR_MECHANISM_INVALID);
}

// Hash-and-sign: one C_Sign equals C_SignUpdate in parts and C_SignFinal (PKCS#1 v1.5 is
// deterministic; PSS is checked by OpenSSL and by both verification forms).
TEST_F(SignMechanismTest, MultiPartEqualsSinglePartForEveryHash) {
    Pkey openssl(vctest::RsaPublicKey(session_, pub2048_));
    Bytes message = Text("a longer message that goes in three parts, ");
    for (int i = 0; i < 5; ++i) message.insert(message.end(), message.begin(), message.end());
    for (const HashCase& hash : Hashes()) {
        SCOPED_TRACE(hash.name);
        Bytes digest = cryptotest::Digest(hash.name, message);
        Bytes single, multi;
        ASSERT_EQ(InitPlain(P11()->C_SignInit, session_, hash.pkcs1, priv2048_), CKR_OK);
        ASSERT_EQ(Call(P11()->C_Sign, session_, message, &single), CKR_OK);
        ASSERT_EQ(InitPlain(P11()->C_SignInit, session_, hash.pkcs1, priv2048_), CKR_OK);
        ASSERT_EQ(Update(P11()->C_SignUpdate, session_, message), CKR_OK);
        ASSERT_EQ(SignFinal(session_, &multi), CKR_OK);
        EXPECT_EQ(HexOf(single), HexOf(multi));
        EXPECT_TRUE(OpenSslVerifies(openssl.key, hash.name, -1, digest, single));
        ASSERT_EQ(InitPlain(P11()->C_VerifyInit, session_, hash.pkcs1, pub2048_), CKR_OK);
        EXPECT_EQ(Verify(session_, message, single), CKR_OK);
        ASSERT_EQ(InitPlain(P11()->C_VerifyInit, session_, hash.pkcs1, pub2048_), CKR_OK);
        ASSERT_EQ(Update(P11()->C_VerifyUpdate, session_, message), CKR_OK);
        EXPECT_EQ(VerifyFinal(session_, multi), CKR_OK);

        CK_RSA_PKCS_PSS_PARAMS params = Pss(hash, hash.size);
        ASSERT_EQ(InitWith(P11()->C_SignInit, session_, hash.pss, &params, priv2048_), CKR_OK);
        ASSERT_EQ(Call(P11()->C_Sign, session_, message, &single), CKR_OK);
        ASSERT_EQ(InitWith(P11()->C_SignInit, session_, hash.pss, &params, priv2048_), CKR_OK);
        ASSERT_EQ(Update(P11()->C_SignUpdate, session_, message), CKR_OK);
        ASSERT_EQ(SignFinal(session_, &multi), CKR_OK);
        for (const Bytes* signature : {&single, &multi}) {
            EXPECT_TRUE(OpenSslVerifies(openssl.key, hash.name, static_cast<int>(hash.size), digest, *signature));
            ASSERT_EQ(InitWith(P11()->C_VerifyInit, session_, hash.pss, &params, pub2048_), CKR_OK);
            EXPECT_EQ(Verify(session_, message, *signature), CKR_OK);
            ASSERT_EQ(InitWith(P11()->C_VerifyInit, session_, hash.pss, &params, pub2048_), CKR_OK);
            ASSERT_EQ(Update(P11()->C_VerifyUpdate, session_, message), CKR_OK);
            EXPECT_EQ(VerifyFinal(session_, *signature), CKR_OK);
        }
        // The same signature over another message, in both forms.
        Bytes other = message;
        other.back() ^= 1;
        ASSERT_EQ(InitWith(P11()->C_VerifyInit, session_, hash.pss, &params, pub2048_), CKR_OK);
        EXPECT_EQ(Verify(session_, other, single), CKR_SIGNATURE_INVALID);
        ASSERT_EQ(InitPlain(P11()->C_VerifyInit, session_, hash.pkcs1, pub2048_), CKR_OK);
        ASSERT_EQ(Update(P11()->C_VerifyUpdate, session_, other), CKR_OK);
        EXPECT_EQ(VerifyFinal(session_, multi), CKR_SIGNATURE_INVALID);
    }
}

// C_Sign keeps its rules for every mechanism: the length query keeps the operation, a short
// buffer ends it. C_SignFinal follows PKCS#11: a short buffer reports the length and keeps it.
TEST_F(SignMechanismTest, LengthQueriesAndShortBuffersForEveryMechanism) {
    const HashCase& sha256 = Hashes()[2];
    CK_RSA_PKCS_PSS_PARAMS params = Pss(sha256, 32);
    struct Case { CK_MECHANISM_TYPE type; void* params; CK_ULONG paramsLength; Bytes data; };
    Bytes digest(32, 3);
    Case cases[] = {{CKM_RSA_PKCS, nullptr, 0, cryptotest::Sha256DigestInfo(Text("x"))},
                    {CKM_RSA_PKCS_PSS, &params, sizeof params, digest},
                    {CKM_SHA256_RSA_PKCS, nullptr, 0, Text("message")},
                    {CKM_SHA256_RSA_PKCS_PSS, &params, sizeof params, Text("message")}};
    for (Case& c : cases) {
        SCOPED_TRACE(c.type);
        CK_MECHANISM mechanism = {c.type, c.params, c.paramsLength};
        ASSERT_EQ(P11()->C_SignInit(session_, &mechanism, priv1024_), CKR_OK);
        CK_ULONG length = 0;
        ASSERT_EQ(P11()->C_Sign(session_, c.data.data(), c.data.size(), nullptr, &length), CKR_OK);
        EXPECT_EQ(length, 128u);
        Bytes signature;
        EXPECT_EQ(Call(P11()->C_Sign, session_, c.data, &signature, 127), CKR_BUFFER_TOO_SMALL);
        EXPECT_EQ(Call(P11()->C_Sign, session_, c.data, &signature), CKR_OPERATION_NOT_INITIALIZED);
        ASSERT_EQ(P11()->C_SignInit(session_, &mechanism, priv1024_), CKR_OK);
        ASSERT_EQ(Call(P11()->C_Sign, session_, c.data, &signature, 128), CKR_OK);
        EXPECT_EQ(signature.size(), 128u);
    }

    CK_MECHANISM mechanism = {CKM_SHA256_RSA_PKCS_PSS, &params, sizeof params};
    ASSERT_EQ(P11()->C_SignInit(session_, &mechanism, priv2048_), CKR_OK);
    ASSERT_EQ(Update(P11()->C_SignUpdate, session_, Text("final rules")), CKR_OK);
    CK_ULONG length = 0;
    ASSERT_EQ(P11()->C_SignFinal(session_, nullptr, &length), CKR_OK);
    EXPECT_EQ(length, 256u);
    Bytes small(100);
    length = small.size();
    EXPECT_EQ(P11()->C_SignFinal(session_, small.data(), &length), CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(length, 256u);
    EXPECT_EQ(P11()->C_SignFinal(session_, nullptr, nullptr), CKR_ARGUMENTS_BAD);
    Bytes signature;
    ASSERT_EQ(SignFinal(session_, &signature), CKR_OK);
    Pkey openssl(vctest::RsaPublicKey(session_, pub2048_));
    EXPECT_TRUE(OpenSslVerifies(openssl.key, "SHA256", 32, cryptotest::Digest("SHA256", Text("final rules")),
                                signature));
    EXPECT_EQ(SignFinal(session_, &signature), CKR_OPERATION_NOT_INITIALIZED);
}

TEST_F(SignMechanismTest, MultiPartRules) {
    Bytes message = Text("parts"), signature;
    // Nothing started.
    EXPECT_EQ(P11()->C_SignUpdate(session_, message.data(), message.size()), CKR_OPERATION_NOT_INITIALIZED);
    EXPECT_EQ(SignFinal(session_, &signature), CKR_OPERATION_NOT_INITIALIZED);
    EXPECT_EQ(VerifyFinal(session_, Bytes(256, 1)), CKR_OPERATION_NOT_INITIALIZED);
    EXPECT_EQ(P11()->C_SignUpdate(0, message.data(), message.size()), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(P11()->C_SignUpdate(session_, nullptr, 3), CKR_ARGUMENTS_BAD);

    // C_Sign cannot finish a multi-part operation; the refusal ends it.
    ASSERT_EQ(InitPlain(P11()->C_SignInit, session_, CKM_SHA384_RSA_PKCS, priv2048_), CKR_OK);
    ASSERT_EQ(P11()->C_SignUpdate(session_, message.data(), message.size()), CKR_OK);
    EXPECT_EQ(Call(P11()->C_Sign, session_, message, &signature), CKR_OPERATION_ACTIVE);
    EXPECT_EQ(SignFinal(session_, &signature), CKR_OPERATION_NOT_INITIALIZED);
    ASSERT_EQ(InitPlain(P11()->C_VerifyInit, session_, CKM_SHA384_RSA_PKCS, pub2048_), CKR_OK);
    ASSERT_EQ(P11()->C_VerifyUpdate(session_, message.data(), message.size()), CKR_OK);
    EXPECT_EQ(Verify(session_, message, Bytes(256, 1)), CKR_OPERATION_ACTIVE);
    EXPECT_EQ(VerifyFinal(session_, Bytes(256, 1)), CKR_OPERATION_NOT_INITIALIZED);

    // Raw mechanisms are single-part: the multi-part calls leave their operation running.
    Bytes info = cryptotest::Sha256DigestInfo(message);
    ASSERT_EQ(InitPlain(P11()->C_SignInit, session_, CKM_RSA_PKCS, priv2048_), CKR_OK);
    EXPECT_EQ(P11()->C_SignUpdate(session_, info.data(), info.size()), CKR_FUNCTION_NOT_SUPPORTED);
    EXPECT_EQ(SignFinal(session_, &signature), CKR_FUNCTION_NOT_SUPPORTED);
    ASSERT_EQ(Call(P11()->C_Sign, session_, info, &signature), CKR_OK);

    // C_VerifyFinal: wrong length and wrong signature, each ending the operation.
    ASSERT_EQ(InitPlain(P11()->C_VerifyInit, session_, CKM_SHA256_RSA_PKCS, pub2048_), CKR_OK);
    ASSERT_EQ(P11()->C_VerifyUpdate(session_, message.data(), message.size()), CKR_OK);
    EXPECT_EQ(VerifyFinal(session_, Bytes(255, 1)), CKR_SIGNATURE_LEN_RANGE);
    EXPECT_EQ(VerifyFinal(session_, Bytes(256, 1)), CKR_OPERATION_NOT_INITIALIZED);
    ASSERT_EQ(InitPlain(P11()->C_VerifyInit, session_, CKM_SHA256_RSA_PKCS, pub2048_), CKR_OK);
    ASSERT_EQ(P11()->C_VerifyUpdate(session_, message.data(), message.size()), CKR_OK);
    EXPECT_EQ(VerifyFinal(session_, signature), CKR_OK);  // the raw signature carried this DigestInfo
    Bytes wrong = signature;
    wrong[0] ^= 0x40;
    ASSERT_EQ(InitPlain(P11()->C_VerifyInit, session_, CKM_SHA256_RSA_PKCS, pub2048_), CKR_OK);
    ASSERT_EQ(P11()->C_VerifyUpdate(session_, message.data(), message.size()), CKR_OK);
    EXPECT_EQ(VerifyFinal(session_, wrong), CKR_SIGNATURE_INVALID);

    // Another session of the slot cannot continue or finish this session's operation.
    CK_SESSION_HANDLE other = vctest::OpenSession(slot1_, false);
    ASSERT_EQ(InitPlain(P11()->C_SignInit, session_, CKM_SHA256_RSA_PKCS, priv2048_), CKR_OK);
    ASSERT_EQ(InitPlain(P11()->C_VerifyInit, session_, CKM_SHA256_RSA_PKCS, pub2048_), CKR_OK);
    EXPECT_EQ(P11()->C_SignUpdate(other, message.data(), message.size()), CKR_OPERATION_NOT_INITIALIZED);
    EXPECT_EQ(SignFinal(other, &signature), CKR_OPERATION_NOT_INITIALIZED);
    EXPECT_EQ(P11()->C_VerifyUpdate(other, message.data(), message.size()), CKR_OPERATION_NOT_INITIALIZED);
    EXPECT_EQ(VerifyFinal(other, signature), CKR_OPERATION_NOT_INITIALIZED);
    ASSERT_EQ(P11()->C_SignUpdate(session_, message.data(), message.size()), CKR_OK);
    ASSERT_EQ(SignFinal(session_, &signature), CKR_OK);
    ASSERT_EQ(Update(P11()->C_VerifyUpdate, session_, message), CKR_OK);
    EXPECT_EQ(VerifyFinal(session_, signature), CKR_OK);
}

// The e-signature key asks for a context-specific login before each signature, whatever the
// mechanism and in both forms.
TEST_F(SignMechanismTest, AlwaysAuthenticateHoldsForEveryMechanism) {
    CK_SESSION_HANDLE session = UserSession(slot4_);
    CK_OBJECT_HANDLE key = cryptotest::FindKey(session, CKO_PRIVATE_KEY, cryptotest::kEsignId);
    Pkey openssl(vctest::RsaPublicKey(session, cryptotest::FindKey(session, CKO_PUBLIC_KEY, cryptotest::kEsignId)));
    const HashCase& sha256 = Hashes()[2];
    CK_RSA_PKCS_PSS_PARAMS params = Pss(sha256, 32);
    Bytes message = Text("e-signed"), digest = cryptotest::Digest("SHA256", message), signature;

    ASSERT_EQ(InitWith(P11()->C_SignInit, session, CKM_RSA_PKCS_PSS, &params, key), CKR_OK);
    EXPECT_EQ(Call(P11()->C_Sign, session, digest, &signature), CKR_USER_NOT_LOGGED_IN);
    ASSERT_EQ(InitWith(P11()->C_SignInit, session, CKM_RSA_PKCS_PSS, &params, key), CKR_OK);
    ASSERT_EQ(cryptotest::Login(session, CKU_CONTEXT_SPECIFIC), CKR_OK);
    ASSERT_EQ(Call(P11()->C_Sign, session, digest, &signature), CKR_OK);
    EXPECT_TRUE(OpenSslVerifies(openssl.key, "SHA256", 32, digest, signature));

    ASSERT_EQ(InitPlain(P11()->C_SignInit, session, CKM_SHA256_RSA_PKCS, key), CKR_OK);
    ASSERT_EQ(P11()->C_SignUpdate(session, message.data(), message.size()), CKR_OK);
    EXPECT_EQ(SignFinal(session, &signature), CKR_USER_NOT_LOGGED_IN);
    EXPECT_EQ(SignFinal(session, &signature), CKR_OPERATION_NOT_INITIALIZED);
    ASSERT_EQ(InitPlain(P11()->C_SignInit, session, CKM_SHA256_RSA_PKCS, key), CKR_OK);
    ASSERT_EQ(cryptotest::Login(session, CKU_CONTEXT_SPECIFIC), CKR_OK);
    ASSERT_EQ(P11()->C_SignUpdate(session, message.data(), message.size()), CKR_OK);
    ASSERT_EQ(SignFinal(session, &signature), CKR_OK);
    EXPECT_TRUE(OpenSslVerifies(openssl.key, "SHA256", -1, digest, signature));
}

}  // namespace
}  // namespace mechtest
