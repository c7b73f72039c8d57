// Signing on the virtual card and verification in software, checked against OpenSSL with
// the public key read from the token.
#include <cstdio>

#include "CryptoTestUtil.h"

namespace cryptotest {
namespace {

class SignTest : public CryptoTest {
protected:
    CK_RV SignInit(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE key, CK_MECHANISM_TYPE type = CKM_RSA_PKCS) {
        return Init(P11()->C_SignInit, session, key, type);
    }
    CK_RV VerifyInit(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE key, CK_MECHANISM_TYPE type = CKM_RSA_PKCS) {
        return Init(P11()->C_VerifyInit, session, key, type);
    }
    CK_RV Sign(CK_SESSION_HANDLE session, const Bytes& data, Bytes* signature, CK_ULONG room = 512) {
        return Call(P11()->C_Sign, session, data, signature, room);
    }
    CK_RV Verify(CK_SESSION_HANDLE session, const Bytes& data, const Bytes& signature) {
        return P11()->C_Verify(session, const_cast<unsigned char*>(data.data()), data.size(),
                               const_cast<unsigned char*>(signature.data()), signature.size());
    }
};

TEST_F(SignTest, SignatureOverDigestInfoVerifiesWithOpenSslAndCVerify) {
    OpenR1();
    CK_SESSION_HANDLE session = session_;
    Bytes message = Text("contract text to be signed");
    Bytes info = Sha256DigestInfo(message);
    struct { CK_OBJECT_HANDLE publicKey, privateKey; CK_ULONG bytes; } keys[] = {
        {pub2048_, priv2048_, 256}, {pub1024_, priv1024_, 128}};
    for (const auto& k : keys) {
        SCOPED_TRACE(k.bytes);
        CK_OBJECT_HANDLE privateKey = k.privateKey, publicKey = k.publicKey;

        ASSERT_EQ(SignInit(session, privateKey), CKR_OK);
        CK_ULONG length = 0;
        ASSERT_EQ(P11()->C_Sign(session, info.data(), info.size(), nullptr, &length), CKR_OK);
        EXPECT_EQ(length, k.bytes);
        Bytes signature;
        ASSERT_EQ(Sign(session, info, &signature, length), CKR_OK);
        ASSERT_EQ(signature.size(), k.bytes);

        PublicKey openssl(session, publicKey);
        ASSERT_TRUE(openssl.Valid());
        EXPECT_EQ(HexOf(openssl.Recover(signature)), HexOf(info));

        ASSERT_EQ(VerifyInit(session, publicKey, CKM_RSA_PKCS), CKR_OK);
        EXPECT_EQ(Verify(session, info, signature), CKR_OK);

        Bytes digest = Digest("SHA256", message);
        ASSERT_EQ(VerifyInit(session, publicKey, CKM_SHA256_RSA_PKCS), CKR_OK);
        EXPECT_EQ(Verify(session, digest, signature), CKR_OK);
        // The hash-and-sign mechanisms take the digest, not the message.
        ASSERT_EQ(VerifyInit(session, publicKey, CKM_SHA256_RSA_PKCS), CKR_OK);
        EXPECT_EQ(Verify(session, message, signature), CKR_DATA_LEN_RANGE);
    }
}

TEST_F(SignTest, LengthQueryShortBufferAndLongDataFollowTheOperationStates) {
    OpenR1();
    CK_SESSION_HANDLE session = session_;
    CK_OBJECT_HANDLE key = priv2048_;
    Bytes info = Sha256DigestInfo(Text("m"));
    Bytes signature;

    // Null length pointer: refused, the operation stays.
    ASSERT_EQ(SignInit(session, key), CKR_OK);
    Bytes buffer(256);
    EXPECT_EQ(P11()->C_Sign(session, info.data(), info.size(), buffer.data(), nullptr), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(P11()->C_Sign(session, info.data(), info.size(), nullptr, nullptr), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(P11()->C_Sign(session, nullptr, 0, buffer.data(), nullptr), CKR_ARGUMENTS_BAD);
    CK_ULONG length = 0;
    EXPECT_EQ(P11()->C_Sign(session, info.data(), info.size(), nullptr, &length), CKR_OK);
    EXPECT_EQ(length, 256u);
    EXPECT_EQ(Sign(session, info, &signature), CKR_OK);
    // A finished signature ends the operation.
    EXPECT_EQ(Sign(session, info, &signature), CKR_OPERATION_NOT_INITIALIZED);

    // One byte too small ends it too.
    ASSERT_EQ(SignInit(session, key), CKR_OK);
    EXPECT_EQ(Sign(session, info, &signature, 255), CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(Sign(session, info, &signature), CKR_OPERATION_NOT_INITIALIZED);

    // Data longer than the key can carry with PKCS#1 v1.5 padding.
    for (size_t size : {257u, 256u, 246u}) {
        SCOPED_TRACE(size);
        ASSERT_EQ(SignInit(session, key), CKR_OK);
        EXPECT_EQ(Sign(session, Bytes(size, 0x5A), &signature), CKR_DATA_LEN_RANGE);
        EXPECT_EQ(Sign(session, info, &signature), CKR_OPERATION_NOT_INITIALIZED);
    }
    // The longest data that fits is signed.
    ASSERT_EQ(SignInit(session, key), CKR_OK);
    Bytes longest(245, 0x33);
    ASSERT_EQ(Sign(session, longest, &signature), CKR_OK);
    EXPECT_EQ(HexOf(PublicKey(session, pub2048_).Recover(signature)), HexOf(longest));

    // The multi-part calls are not supported and leave the operation running.
    ASSERT_EQ(SignInit(session, key), CKR_OK);
    EXPECT_EQ(P11()->C_SignUpdate(session, info.data(), info.size()), CKR_FUNCTION_NOT_SUPPORTED);
    length = 256;
    EXPECT_EQ(P11()->C_SignFinal(session, buffer.data(), &length), CKR_FUNCTION_NOT_SUPPORTED);
    EXPECT_EQ(Sign(session, info, &signature), CKR_OK);
}

TEST_F(SignTest, SignInitRefusals) {
    OpenR1();
    CK_SESSION_HANDLE session = session_;
    CK_OBJECT_HANDLE privateKey = priv2048_, publicKey = pub2048_;
    CK_OBJECT_HANDLE data = FindFirstOfClass(session, CKO_DATA);
    EXPECT_EQ(SignInit(session, privateKey, CKM_SHA1_RSA_PKCS), CKR_MECHANISM_INVALID);
    EXPECT_EQ(SignInit(session, privateKey, CKM_SHA256_RSA_PKCS), CKR_MECHANISM_INVALID);
    EXPECT_EQ(SignInit(session, publicKey), CKR_KEY_TYPE_INCONSISTENT);
    EXPECT_EQ(SignInit(session, data), CKR_KEY_TYPE_INCONSISTENT);
    EXPECT_EQ(SignInit(session, 0x7FFF), CKR_KEY_HANDLE_INVALID);
    EXPECT_EQ(SignInit(session, 0), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(P11()->C_SignInit(session, nullptr, privateKey), CKR_ARGUMENTS_BAD);
    Bytes info = Sha256DigestInfo(Text("m")), signature;
    EXPECT_EQ(Sign(session, info, &signature), CKR_OPERATION_NOT_INITIALIZED);

    // A public session cannot sign, and its handles must come from a login anyway.
    CK_SESSION_HANDLE other = UserSession(slot4_, false);
    EXPECT_EQ(SignInit(other, privateKey), CKR_USER_NOT_LOGGED_IN);
    ASSERT_EQ(P11()->C_Logout(session), CKR_OK);
    EXPECT_EQ(SignInit(session, privateKey), CKR_USER_NOT_LOGGED_IN);
}

// The operation state is the slot's, and a later init from any session replaces an earlier
// one; but only the session that started an operation may continue it: another session
// never gets a result made with a key it did not choose.
TEST_F(SignTest, OperationBelongsToTheSessionThatStartedIt) {
    OpenR1();
    CK_SESSION_HANDLE a = session_;
    CK_SESSION_HANDLE b = vctest::OpenSession(slot1_, true);
    Bytes info = Sha256DigestInfo(Text("whose key?")), signature;
    ASSERT_EQ(SignInit(a, priv2048_), CKR_OK);
    ASSERT_EQ(SignInit(b, priv1024_), CKR_OK);
    EXPECT_EQ(Sign(a, info, &signature), CKR_OPERATION_NOT_INITIALIZED);
    // B's operation survived A's attempt and signs with B's key.
    ASSERT_EQ(Sign(b, info, &signature), CKR_OK);
    EXPECT_EQ(signature.size(), 128u);
    EXPECT_EQ(HexOf(PublicKey(b, pub1024_).Recover(signature)), HexOf(info));

    ASSERT_EQ(SignInit(a, priv2048_), CKR_OK);
    EXPECT_EQ(Sign(b, info, &signature), CKR_OPERATION_NOT_INITIALIZED);
    ASSERT_EQ(Sign(a, info, &signature), CKR_OK);
    EXPECT_EQ(signature.size(), 256u);

    // Closing the session that started an operation ends it.
    ASSERT_EQ(SignInit(b, priv1024_), CKR_OK);
    ASSERT_EQ(P11()->C_CloseSession(b), CKR_OK);
    EXPECT_EQ(Sign(a, info, &signature), CKR_OPERATION_NOT_INITIALIZED);
}

// Keys with the e-signature flag need a context-specific login before each signature in an
// untrusted process (this test binary is not in the trusted-applications list).
TEST_F(SignTest, AlwaysAuthenticateKeyNeedsContextSpecificLogin) {
    CK_SESSION_HANDLE session = UserSession(slot4_);
    CK_OBJECT_HANDLE key = FindKey(session, CKO_PRIVATE_KEY, kEsignId);
    ASSERT_NE(key, 0u);
    Bytes info = Sha256DigestInfo(Text("e-signature")), signature;

    ASSERT_EQ(SignInit(session, key), CKR_OK);
    EXPECT_EQ(Sign(session, info, &signature), CKR_USER_NOT_LOGGED_IN);
    // The refusal ended the operation.
    EXPECT_EQ(Login(session, CKU_CONTEXT_SPECIFIC), CKR_OPERATION_NOT_INITIALIZED);

    ASSERT_EQ(SignInit(session, key), CKR_OK);
    // Another session of the slot cannot unlock this session's key.
    CK_SESSION_HANDLE other = vctest::OpenSession(slot4_, false);
    EXPECT_EQ(Login(other, CKU_CONTEXT_SPECIFIC), CKR_OPERATION_NOT_INITIALIZED);
    CK_UTF8CHAR wrong[] = {'0', '0', '0', '0'};
    EXPECT_EQ(P11()->C_Login(session, CKU_CONTEXT_SPECIFIC, wrong, sizeof wrong), CKR_PIN_INCORRECT);
    ASSERT_EQ(Login(session, CKU_CONTEXT_SPECIFIC), CKR_OK);
    CK_SESSION_INFO state;
    ASSERT_EQ(P11()->C_GetSessionInfo(session, &state), CKR_OK);
    EXPECT_EQ(state.state, static_cast<CK_STATE>(CKS_RO_USER_FUNCTIONS));
    ASSERT_EQ(Sign(session, info, &signature), CKR_OK);
    PublicKey openssl(session, FindKey(session, CKO_PUBLIC_KEY, kEsignId));
    EXPECT_EQ(HexOf(openssl.Recover(signature)), HexOf(info));

    // The login counted for that one signature only.
    ASSERT_EQ(SignInit(session, key), CKR_OK);
    EXPECT_EQ(Sign(session, info, &signature), CKR_USER_NOT_LOGGED_IN);
}

class VerifyTest : public SignTest {
protected:
    void SetUp() override {
        SignTest::SetUp();
        OpenR1();
        privateKey_ = priv2048_;
        publicKey_ = pub2048_;
        info_ = Sha256DigestInfo(Text("verified message"));
        ASSERT_EQ(SignInit(session_, privateKey_), CKR_OK);
        ASSERT_EQ(Sign(session_, info_, &signature_), CKR_OK);
    }
    CK_OBJECT_HANDLE privateKey_ = 0, publicKey_ = 0;
    Bytes info_, signature_;
};

TEST_F(VerifyTest, BadSignaturesAreReportedAndEndTheOperation) {
    Bytes wrong = signature_;
    wrong[100] ^= 0x01;
    ASSERT_EQ(VerifyInit(session_, publicKey_), CKR_OK);
    EXPECT_EQ(Verify(session_, info_, wrong), CKR_SIGNATURE_INVALID);
    EXPECT_EQ(Verify(session_, info_, signature_), CKR_OPERATION_NOT_INITIALIZED);

    Bytes shorter(signature_.begin(), signature_.end() - 1);
    ASSERT_EQ(VerifyInit(session_, publicKey_), CKR_OK);
    EXPECT_EQ(Verify(session_, info_, shorter), CKR_SIGNATURE_LEN_RANGE);
    EXPECT_EQ(Verify(session_, info_, signature_), CKR_OPERATION_NOT_INITIALIZED);

    Bytes otherData = Sha256DigestInfo(Text("another message"));
    ASSERT_EQ(VerifyInit(session_, publicKey_), CKR_OK);
    EXPECT_EQ(Verify(session_, otherData, signature_), CKR_SIGNATURE_INVALID);

    // A digest of the wrong size for the mechanism.
    ASSERT_EQ(VerifyInit(session_, publicKey_, CKM_SHA1_RSA_PKCS), CKR_OK);
    EXPECT_EQ(Verify(session_, Digest("SHA256", Text("verified message")), signature_), CKR_DATA_LEN_RANGE);
    EXPECT_EQ(Verify(session_, info_, signature_), CKR_OPERATION_NOT_INITIALIZED);

    // Null pointers are refused without ending the operation.
    ASSERT_EQ(VerifyInit(session_, publicKey_), CKR_OK);
    EXPECT_EQ(P11()->C_Verify(session_, nullptr, 0, signature_.data(), signature_.size()), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(P11()->C_Verify(session_, info_.data(), info_.size(), nullptr, 0), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(Verify(session_, info_, signature_), CKR_OK);
}

TEST_F(VerifyTest, KeyChecksLoginAndUnknownMechanism) {
    EXPECT_EQ(VerifyInit(session_, privateKey_), CKR_KEY_TYPE_INCONSISTENT);
    EXPECT_EQ(VerifyInit(session_, 0x7FFF), CKR_KEY_HANDLE_INVALID);
    EXPECT_EQ(Verify(session_, info_, signature_), CKR_OPERATION_NOT_INITIALIZED);
    EXPECT_EQ(VerifyInit(UserSession(slot4_, false), publicKey_), CKR_USER_NOT_LOGGED_IN);
    // An unknown mechanism is verified as raw PKCS#1.
    ASSERT_EQ(VerifyInit(session_, publicKey_, CKM_RSA_X_509), CKR_OK);
    EXPECT_EQ(Verify(session_, info_, signature_), CKR_OK);
}

TEST_F(VerifyTest, SignAndVerifyOperationsAreIndependent) {
    Bytes signature;
    // Verify first, then sign, then both finish.
    ASSERT_EQ(VerifyInit(session_, publicKey_), CKR_OK);
    ASSERT_EQ(SignInit(session_, privateKey_), CKR_OK);
    EXPECT_EQ(Verify(session_, info_, signature_), CKR_OK);
    EXPECT_EQ(Sign(session_, info_, &signature), CKR_OK);
    // Sign first, then verify.
    ASSERT_EQ(SignInit(session_, privateKey_), CKR_OK);
    ASSERT_EQ(VerifyInit(session_, publicKey_), CKR_OK);
    EXPECT_EQ(Sign(session_, info_, &signature), CKR_OK);
    EXPECT_EQ(Verify(session_, info_, signature), CKR_OK);
}

// A card pulled out between init and sign: the call reports it and the slot's sessions
// are gone; nothing of the old operation survives on a new card.
TEST_F(SignTest, CardRemovedBeforeSignClosesTheSessions) {
    vctest::TestEnv& env = vctest::TestEnv::Get();
    std::string card = env.MakeReaderWithCard("R9", 1, kUserPin, kSoPin);
    env.ToolOk("key-generate " + card + " --bits 1024 --id 99 --usage sign,decrypt");
    CK_SLOT_ID slot = SlotOf("R9");
    CK_SESSION_HANDLE session = UserSession(slot);
    CK_OBJECT_HANDLE key = FindKey(session, CKO_PRIVATE_KEY, "99");
    ASSERT_EQ(SignInit(session, key), CKR_OK);
    env.ToolOk("card-remove R9 '" + env.Path("r9-out.vcard") + "'");
    Bytes info = Sha256DigestInfo(Text("gone")), signature;
    CK_RV rv = Sign(session, info, &signature);
    EXPECT_TRUE(rv == CKR_TOKEN_NOT_PRESENT || rv == CKR_DEVICE_REMOVED) << std::hex << rv;
    CK_SESSION_INFO sessionInfo;
    EXPECT_EQ(P11()->C_GetSessionInfo(session, &sessionInfo), CKR_SESSION_HANDLE_INVALID);

    env.ToolOk("card-insert R9 '" + env.Path("r9-out.vcard") + "'");
    CK_SLOT_ID again = SlotOf("R9");
    session = UserSession(again);
    EXPECT_EQ(Sign(session, info, &signature), CKR_OPERATION_NOT_INITIALIZED);
    P11()->C_CloseAllSessions(again);
    env.ToolOk("reader-remove R9");
}

// The card loses a key while the module still lists it (another application rewrote the
// card): signing and decryption with it fail cleanly instead of using a missing record.
TEST_F(SignTest, KeyGoneFromTheCardIsNotUsed) {
    vctest::TestEnv& env = vctest::TestEnv::Get();
    env.MakeReaderWithCard("R8", 1, kUserPin, kSoPin);
    std::string image = env.ReadersDir() + "/R8/card.vcard";
    std::string before = vctest::ReadFile(image);
    ASSERT_FALSE(before.empty());
    env.ToolOk("key-generate @R8 --bits 1024 --id 88 --usage sign,decrypt");
    CK_SLOT_ID slot = SlotOf("R8");
    CK_SESSION_HANDLE session = UserSession(slot);
    CK_OBJECT_HANDLE key = FindKey(session, CKO_PRIVATE_KEY, "88");
    ASSERT_EQ(SignInit(session, key), CKR_OK);

    // The same card without the key.
    vctest::WriteFile(image + ".new", before);
    ASSERT_EQ(std::rename((image + ".new").c_str(), image.c_str()), 0);

    Bytes info = Sha256DigestInfo(Text("no key")), signature;
    EXPECT_EQ(Sign(session, info, &signature), CKR_FUNCTION_FAILED);
    CK_MECHANISM rsa = {CKM_RSA_PKCS, nullptr, 0};
    EXPECT_EQ(P11()->C_DecryptInit(session, &rsa, key), CKR_FUNCTION_FAILED);
    CK_RV rv = SignInit(session, key);
    if (rv == CKR_OK) {
        EXPECT_EQ(Sign(session, info, &signature), CKR_FUNCTION_FAILED);
    }
    P11()->C_CloseAllSessions(slot);
    env.ToolOk("reader-remove R8");
}

}  // namespace
}  // namespace cryptotest
