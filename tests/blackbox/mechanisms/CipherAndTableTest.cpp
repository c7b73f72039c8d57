// RSA-OAEP: encryption in software, decryption on the card, checked against OpenSSL; and
// what the mechanism queries report with the extended mechanisms on.
#include <algorithm>

#include "MechanismsUtil.h"

namespace mechtest {
namespace {

TEST_F(MechanismTest, ExtendedListAndInfo) {
    CK_SLOT_ID slot = slot1_;
    CK_ULONG count = 0;
    ASSERT_EQ(P11()->C_GetMechanismList(slot, nullptr, &count), CKR_OK);
    std::vector<CK_MECHANISM_TYPE> list(count);
    ASSERT_EQ(P11()->C_GetMechanismList(slot, list.data(), &count), CKR_OK);
    ASSERT_EQ(count, 20u);
    // The classic seven come first, in their order.
    std::vector<CK_MECHANISM_TYPE> classic = {CKM_MD5, CKM_SHA_1, CKM_SHA256, CKM_SHA384, CKM_SHA512,
                                              CKM_RSA_PKCS_KEY_PAIR_GEN, CKM_RSA_PKCS};
    EXPECT_TRUE(std::equal(classic.begin(), classic.end(), list.begin()));
    struct { CK_MECHANISM_TYPE type; CK_ULONG min, max; CK_FLAGS flags; } expected[] = {
        {CKM_SHA224, 0, 0, CKF_DIGEST},
        {CKM_RSA_PKCS, 1024, 2048, CKF_HW | CKF_ENCRYPT | CKF_DECRYPT | CKF_SIGN | CKF_VERIFY},
        {CKM_RSA_PKCS_PSS, 1024, 2048, CKF_HW | CKF_SIGN | CKF_VERIFY},
        {CKM_SHA1_RSA_PKCS, 1024, 2048, CKF_HW | CKF_SIGN | CKF_VERIFY},
        {CKM_SHA512_RSA_PKCS_PSS, 1024, 2048, CKF_HW | CKF_SIGN | CKF_VERIFY},
        {CKM_RSA_PKCS_OAEP, 1024, 2048, CKF_HW | CKF_ENCRYPT | CKF_DECRYPT},
    };
    for (const auto& e : expected) {
        SCOPED_TRACE(e.type);
        EXPECT_NE(std::find(list.begin(), list.end(), e.type), list.end());
        CK_MECHANISM_INFO info;
        ASSERT_EQ(P11()->C_GetMechanismInfo(slot, e.type, &info), CKR_OK);
        EXPECT_EQ(info.ulMinKeySize, e.min);
        EXPECT_EQ(info.ulMaxKeySize, e.max);
        EXPECT_EQ(info.flags, e.flags);
    }
    for (const HashCase& hash : Hashes()) {
        EXPECT_NE(std::find(list.begin(), list.end(), hash.pkcs1), list.end()) << hash.name;
        EXPECT_NE(std::find(list.begin(), list.end(), hash.pss), list.end()) << hash.name;
    }
    CK_MECHANISM_INFO info;
    EXPECT_EQ(P11()->C_GetMechanismInfo(slot, CKM_MD5_RSA_PKCS, &info), CKR_MECHANISM_INVALID);
    EXPECT_EQ(P11()->C_GetMechanismInfo(slot, CKM_RSA_X_509, &info), CKR_MECHANISM_INVALID);
}

class OaepTest : public MechanismTest {
protected:
    void SetUp() override {
        MechanismTest::SetUp();
        OpenR1();
    }
};

TEST_F(OaepTest, RoundTripAndOpenSslForBothHashesWithAndWithoutLabel) {
    Bytes secret = Text("oaep session key 0123456789abcdef");
    vctest::TestEnv::Get().ClearLog();
    struct { CK_OBJECT_HANDLE priv, pub; CK_ULONG bytes; } keys[] = {{priv2048_, pub2048_, 256},
                                                                      {priv1024_, pub1024_, 128}};
    for (const auto& k : keys) {
        EVP_PKEY* openssl = vctest::RsaPublicKey(session_, k.pub);
        for (const HashCase* hash : {&Hashes()[0], &Hashes()[2]}) {
            for (Bytes label : {Bytes(), Text("a label")}) {
                SCOPED_TRACE(std::string(hash->name) + " / " + std::to_string(k.bytes) + " / label " +
                             HexOf(label));
                CK_RSA_PKCS_OAEP_PARAMS params = Oaep(*hash, &label);
                ASSERT_EQ(InitWith(P11()->C_EncryptInit, session_, CKM_RSA_PKCS_OAEP, &params, k.pub), CKR_OK);
                Bytes cipher;
                ASSERT_EQ(Call(P11()->C_Encrypt, session_, secret, &cipher), CKR_OK);
                EXPECT_EQ(cipher.size(), k.bytes);
                ASSERT_EQ(InitWith(P11()->C_DecryptInit, session_, CKM_RSA_PKCS_OAEP, &params, k.priv), CKR_OK);
                Bytes plain;
                ASSERT_EQ(Call(P11()->C_Decrypt, session_, cipher, &plain), CKR_OK);
                EXPECT_EQ(HexOf(plain), HexOf(secret));

                // OpenSSL's ciphertext decrypts on the card.
                Bytes fromOpenSsl = OpenSslOaepEncrypt(openssl, hash->name, label, secret);
                ASSERT_EQ(fromOpenSsl.size(), k.bytes);
                ASSERT_EQ(InitWith(P11()->C_DecryptInit, session_, CKM_RSA_PKCS_OAEP, &params, k.priv), CKR_OK);
                ASSERT_EQ(Call(P11()->C_Decrypt, session_, fromOpenSsl, &plain), CKR_OK);
                EXPECT_EQ(HexOf(plain), HexOf(secret));

                // Another label (or none instead of one) does not decrypt.
                Bytes otherLabel = label.empty() ? Text("x") : Bytes();
                CK_RSA_PKCS_OAEP_PARAMS other = Oaep(*hash, &otherLabel);
                ASSERT_EQ(InitWith(P11()->C_DecryptInit, session_, CKM_RSA_PKCS_OAEP, &other, k.priv), CKR_OK);
                EXPECT_EQ(Call(P11()->C_Decrypt, session_, cipher, &plain), CKR_ENCRYPTED_DATA_INVALID);
            }
        }
        EVP_PKEY_free(openssl);
    }
    // The plaintext never reaches the log, only its length.
    std::string log = vctest::TestEnv::Get().ReadLog();
    EXPECT_NE(log.find("velikost desifrovanych dat: 33"), std::string::npos);
    EXPECT_EQ(log.find("oaep session key"), std::string::npos);
    EXPECT_EQ(log.find("6f 61 65 70"), std::string::npos);
}

TEST_F(OaepTest, ParametersLengthsAndBuffers) {
    const HashCase& sha256 = Hashes()[2];
    const HashCase& sha512 = Hashes()[4];
    Bytes none;
    CK_RSA_PKCS_OAEP_PARAMS good = Oaep(sha256, &none);
    auto init = [&](CK_C_EncryptInit fn, CK_RSA_PKCS_OAEP_PARAMS params, CK_OBJECT_HANDLE key) {
        return InitWith(fn, session_, CKM_RSA_PKCS_OAEP, &params, key);
    };
    EXPECT_EQ(InitPlain(P11()->C_EncryptInit, session_, CKM_RSA_PKCS_OAEP, pub2048_), CKR_MECHANISM_PARAM_INVALID);
    CK_RSA_PKCS_OAEP_PARAMS bad = good;
    bad.mgf = CKG_MGF1_SHA1;
    EXPECT_EQ(init(P11()->C_EncryptInit, bad, pub2048_), CKR_MECHANISM_PARAM_INVALID);
    EXPECT_EQ(init(P11()->C_DecryptInit, bad, priv2048_), CKR_MECHANISM_PARAM_INVALID);
    bad = good;
    bad.source = 2;
    EXPECT_EQ(init(P11()->C_EncryptInit, bad, pub2048_), CKR_MECHANISM_PARAM_INVALID);
    bad = good;
    bad.source_data_len = 4;  // a length without data
    EXPECT_EQ(init(P11()->C_EncryptInit, bad, pub2048_), CKR_MECHANISM_PARAM_INVALID);
    bad = good;
    bad.hash_alg = CKM_MD5;
    EXPECT_EQ(init(P11()->C_EncryptInit, bad, pub2048_), CKR_MECHANISM_PARAM_INVALID);
    // SHA-512 leaves no room in a 1024-bit modulus.
    EXPECT_EQ(init(P11()->C_EncryptInit, Oaep(sha512, &none), pub1024_), CKR_MECHANISM_PARAM_INVALID);
    // Without a source the label is empty.
    CK_RSA_PKCS_OAEP_PARAMS noSource = {CKM_SHA_1, CKG_MGF1_SHA1, 0, nullptr, 0};
    EXPECT_EQ(init(P11()->C_EncryptInit, noSource, pub2048_), CKR_OK);

    // C_Encrypt: data limit k - 2 hLen - 2, length query keeps, short buffer ends.
    Bytes cipher;
    ASSERT_EQ(init(P11()->C_EncryptInit, good, pub2048_), CKR_OK);
    EXPECT_EQ(Call(P11()->C_Encrypt, session_, Bytes(256 - 64 - 1, 1), &cipher), CKR_DATA_LEN_RANGE);
    ASSERT_EQ(init(P11()->C_EncryptInit, good, pub2048_), CKR_OK);
    Bytes data(256 - 64 - 2, 9);
    CK_ULONG length = 0;
    ASSERT_EQ(P11()->C_Encrypt(session_, data.data(), data.size(), nullptr, &length), CKR_OK);
    EXPECT_EQ(length, 256u);
    EXPECT_EQ(Call(P11()->C_Encrypt, session_, data, &cipher, 255), CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(Call(P11()->C_Encrypt, session_, data, &cipher), CKR_OPERATION_NOT_INITIALIZED);
    ASSERT_EQ(init(P11()->C_EncryptInit, good, pub2048_), CKR_OK);
    ASSERT_EQ(Call(P11()->C_Encrypt, session_, data, &cipher, 256), CKR_OK);

    // C_Decrypt: the length query gives the modulus length and keeps the operation; a
    // buffer too small for the plaintext ends it; a ciphertext of the wrong length is refused.
    Bytes plain;
    ASSERT_EQ(init(P11()->C_DecryptInit, good, priv2048_), CKR_OK);
    length = 0;
    ASSERT_EQ(P11()->C_Decrypt(session_, cipher.data(), cipher.size(), nullptr, &length), CKR_OK);
    EXPECT_EQ(length, 256u);
    EXPECT_EQ(Call(P11()->C_Decrypt, session_, cipher, &plain, 10), CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(Call(P11()->C_Decrypt, session_, cipher, &plain), CKR_OPERATION_NOT_INITIALIZED);
    ASSERT_EQ(init(P11()->C_DecryptInit, good, priv2048_), CKR_OK);
    EXPECT_EQ(Call(P11()->C_Decrypt, session_, Bytes(cipher.begin(), cipher.end() - 1), &plain),
              CKR_ENCRYPTED_DATA_LEN_RANGE);
    ASSERT_EQ(init(P11()->C_DecryptInit, good, priv2048_), CKR_OK);
    ASSERT_EQ(Call(P11()->C_Decrypt, session_, cipher, &plain), CKR_OK);
    EXPECT_EQ(HexOf(plain), HexOf(data));

    // OAEP is for encryption only.
    EXPECT_EQ(init(P11()->C_SignInit, good, priv2048_), CKR_MECHANISM_INVALID);
}

}  // namespace
}  // namespace mechtest
