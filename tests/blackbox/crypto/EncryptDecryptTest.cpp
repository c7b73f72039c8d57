// RSA PKCS#1 v1.5 encryption in software and decryption on the virtual card.
#include <atomic>
#include <thread>

#include "CryptoTestUtil.h"

namespace cryptotest {
namespace {

class CipherTest : public CryptoTest {
protected:
    void SetUp() override {
        CryptoTest::SetUp();
        OpenR1();
    }
    CK_RV EncryptInit(CK_OBJECT_HANDLE key, CK_MECHANISM_TYPE type = CKM_RSA_PKCS) {
        return Init(P11()->C_EncryptInit, session_, key, type);
    }
    CK_RV DecryptInit(CK_OBJECT_HANDLE key, CK_MECHANISM_TYPE type = CKM_RSA_PKCS) {
        return Init(P11()->C_DecryptInit, session_, key, type);
    }
    CK_RV Encrypt(const Bytes& data, Bytes* out, CK_ULONG room = 512) {
        return Call(P11()->C_Encrypt, session_, data, out, room);
    }
    CK_RV Decrypt(const Bytes& data, Bytes* out, CK_ULONG room = 512) {
        return Call(P11()->C_Decrypt, session_, data, out, room);
    }
};

TEST_F(CipherTest, RoundTripAndLengthQueriesForBothKeySizes) {
    struct { CK_OBJECT_HANDLE publicKey, privateKey; CK_ULONG bytes; } keys[] = {
        {pub2048_, priv2048_, 256}, {pub1024_, priv1024_, 128}};
    Bytes secret = Text("session key material 0123456789");
    vctest::TestEnv::Get().ClearLog();
    for (const auto& k : keys) {
        SCOPED_TRACE(k.bytes);
        CK_OBJECT_HANDLE publicKey = k.publicKey, privateKey = k.privateKey;

        ASSERT_EQ(EncryptInit(publicKey), CKR_OK);
        CK_ULONG length = 0;
        ASSERT_EQ(P11()->C_Encrypt(session_, secret.data(), secret.size(), nullptr, &length), CKR_OK);
        EXPECT_EQ(length, k.bytes);
        Bytes cipher;
        ASSERT_EQ(Encrypt(secret, &cipher, length), CKR_OK);
        EXPECT_EQ(cipher.size(), k.bytes);
        Bytes unused;
        EXPECT_EQ(Encrypt(secret, &unused), CKR_OPERATION_NOT_INITIALIZED);

        ASSERT_EQ(DecryptInit(privateKey), CKR_OK);
        length = 0;
        ASSERT_EQ(P11()->C_Decrypt(session_, cipher.data(), cipher.size(), nullptr, &length), CKR_OK);
        EXPECT_EQ(length, k.bytes);
        Bytes plain;
        ASSERT_EQ(Decrypt(cipher, &plain, length), CKR_OK);
        EXPECT_EQ(HexOf(plain), HexOf(secret));
        EXPECT_EQ(Decrypt(cipher, &plain), CKR_OPERATION_NOT_INITIALIZED);
    }
    // The decrypted data is a secret: its length is logged (at debug level too), never its bytes.
    std::string log = vctest::TestEnv::Get().ReadLog();
    EXPECT_NE(log.find("velikost desifrovanych dat: 31"), std::string::npos);
    EXPECT_EQ(log.find("desifrovana data"), std::string::npos);
    EXPECT_EQ(log.find("session key material"), std::string::npos);
    EXPECT_EQ(log.find("73 65 73 73 69 6f 6e"), std::string::npos);
    EXPECT_EQ(log.find("73657373696f6e"), std::string::npos);
}

TEST_F(CipherTest, EncryptBufferAndDataLimits) {
    CK_OBJECT_HANDLE publicKey = pub2048_;
    Bytes data = Text("abc"), cipher;
    ASSERT_EQ(EncryptInit(publicKey), CKR_OK);
    EXPECT_EQ(P11()->C_Encrypt(session_, data.data(), data.size(), nullptr, nullptr), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(P11()->C_Encrypt(session_, nullptr, 0, nullptr, nullptr), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(Encrypt(data, &cipher, 255), CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(Encrypt(data, &cipher), CKR_OPERATION_NOT_INITIALIZED);

    ASSERT_EQ(EncryptInit(publicKey), CKR_OK);
    EXPECT_EQ(Encrypt(Bytes(246, 1), &cipher), CKR_DATA_LEN_RANGE);
    EXPECT_EQ(Encrypt(data, &cipher), CKR_OPERATION_NOT_INITIALIZED);
    ASSERT_EQ(EncryptInit(publicKey), CKR_OK);
    EXPECT_EQ(Encrypt(Bytes(245, 1), &cipher), CKR_OK);
}

TEST_F(CipherTest, InvalidCiphertextIsReported) {
    CK_OBJECT_HANDLE publicKey = pub2048_, privateKey = priv2048_;
    PublicKey openssl(session_, publicKey);
    // A block below the modulus whose padding is not PKCS#1 type 2.
    Bytes block(256, 0x42);
    block[0] = 0x00;
    block[1] = 0x01;
    Bytes bad = openssl.Encrypt(block, RSA_NO_PADDING);
    ASSERT_EQ(bad.size(), 256u);
    Bytes plain;
    ASSERT_EQ(DecryptInit(privateKey), CKR_OK);
    EXPECT_EQ(Decrypt(bad, &plain), CKR_ENCRYPTED_DATA_INVALID);
    EXPECT_EQ(Decrypt(bad, &plain), CKR_OPERATION_NOT_INITIALIZED);

    ASSERT_EQ(DecryptInit(privateKey), CKR_OK);
    EXPECT_EQ(P11()->C_Decrypt(session_, bad.data(), bad.size(), nullptr, nullptr), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(P11()->C_Decrypt(session_, nullptr, 0, plain.data(), nullptr), CKR_ARGUMENTS_BAD);
    // Still running after the refused calls.
    Bytes good = openssl.Encrypt(Text("ok"));
    ASSERT_EQ(Decrypt(good, &plain), CKR_OK);
    EXPECT_EQ(HexOf(plain), HexOf(Text("ok")));
}

TEST_F(CipherTest, InitRefusals) {
    CK_OBJECT_HANDLE publicKey = pub2048_, privateKey = priv2048_;
    EXPECT_EQ(EncryptInit(publicKey, CKM_RSA_X_509), CKR_MECHANISM_INVALID);
    EXPECT_EQ(DecryptInit(privateKey, CKM_RSA_PKCS_OAEP), CKR_MECHANISM_INVALID);
    EXPECT_EQ(EncryptInit(privateKey), CKR_KEY_TYPE_INCONSISTENT);
    EXPECT_EQ(DecryptInit(publicKey), CKR_KEY_TYPE_INCONSISTENT);
    EXPECT_EQ(EncryptInit(0x7FFF), CKR_KEY_HANDLE_INVALID);
    EXPECT_EQ(DecryptInit(0x7FFF), CKR_KEY_HANDLE_INVALID);
    EXPECT_EQ(EncryptInit(0), CKR_ARGUMENTS_BAD);
    Bytes out;
    EXPECT_EQ(Encrypt(Text("x"), &out), CKR_OPERATION_NOT_INITIALIZED);
    EXPECT_EQ(Decrypt(Bytes(256, 1), &out), CKR_OPERATION_NOT_INITIALIZED);

    ASSERT_EQ(P11()->C_Logout(session_), CKR_OK);
    EXPECT_EQ(EncryptInit(publicKey), CKR_USER_NOT_LOGGED_IN);
    EXPECT_EQ(DecryptInit(privateKey), CKR_USER_NOT_LOGGED_IN);
}

TEST_F(CipherTest, EncryptAndDecryptRunSideBySide) {
    CK_OBJECT_HANDLE publicKey = pub1024_, privateKey = priv1024_;
    CK_SESSION_HANDLE second = vctest::OpenSession(slot1_, false);
    ASSERT_EQ(DecryptInit(privateKey), CKR_OK);
    ASSERT_EQ(EncryptInit(publicKey), CKR_OK);
    Bytes cipher, plain;
    ASSERT_EQ(Encrypt(Text("both"), &cipher), CKR_OK);
    // Decryption started in the first session is not the second one's, and stays running.
    EXPECT_EQ(Call(P11()->C_Decrypt, second, cipher, &plain), CKR_OPERATION_NOT_INITIALIZED);
    EXPECT_EQ(EncryptInit(publicKey), CKR_OK);
    EXPECT_EQ(Call(P11()->C_Encrypt, second, Text("x"), &plain), CKR_OPERATION_NOT_INITIALIZED);
    ASSERT_EQ(Decrypt(cipher, &plain), CKR_OK);
    EXPECT_EQ(HexOf(plain), HexOf(Text("both")));
}

// Different kinds of operation on one slot are independent, also when threads run them at
// once through different sessions; a digest on another slot runs beside them.
TEST_F(CipherTest, ThreadsRunSignDecryptAndDigestAtOnce) {
    CK_SESSION_HANDLE signSession = vctest::OpenSession(slot1_, false);
    CK_SESSION_HANDLE digestSession = vctest::OpenSession(slot4_, false);
    const int rounds = 15;
    std::atomic<int> failures{0};
    std::thread signer([&] {
        Bytes info = Sha256DigestInfo(Text("threaded")), signature;
        for (int i = 0; i < rounds; ++i)
            if (Init(P11()->C_SignInit, signSession, priv2048_) != CKR_OK ||
                Call(P11()->C_Sign, signSession, info, &signature) != CKR_OK)
                ++failures;
    });
    std::thread decryptor([&] {
        Bytes plain = Text("threaded secret"), cipher, out;
        for (int i = 0; i < rounds; ++i)
            if (Init(P11()->C_EncryptInit, session_, pub1024_) != CKR_OK ||
                Call(P11()->C_Encrypt, session_, plain, &cipher) != CKR_OK ||
                Init(P11()->C_DecryptInit, session_, priv1024_) != CKR_OK ||
                Call(P11()->C_Decrypt, session_, cipher, &out) != CKR_OK || out != plain)
                ++failures;
    });
    std::thread digester([&] {
        Bytes data = Text("digest beside"), out(32);
        CK_MECHANISM sha = {CKM_SHA256, nullptr, 0};
        for (int i = 0; i < rounds * 4; ++i) {
            CK_ULONG length = out.size();
            if (P11()->C_DigestInit(digestSession, &sha) != CKR_OK ||
                P11()->C_Digest(digestSession, data.data(), data.size(), out.data(), &length) != CKR_OK ||
                out != Digest("SHA256", data))
                ++failures;
        }
    });
    signer.join();
    decryptor.join();
    digester.join();
    EXPECT_EQ(failures.load(), 0);
}

}  // namespace
}  // namespace cryptotest
