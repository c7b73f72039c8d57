// Edge cases of the software RSA public key that the exported verify and encrypt calls
// cannot reach: sizes around the modulus, null pointers, raw SSL3 hashes, empty keys.
// Round trips and signatures per hash type are covered through C_Verify and C_Encrypt.
#include <gtest/gtest.h>

#include <memory>

#include "OpensslHelpers.h"
#include "core/CoreObjects.h"

using namespace Vellumcrest::Core;
using namespace coretest;

namespace {

EVP_PKEY* Key1024() {
    static Pkey key = RsaKey(1024);
    return key.get();
}

std::unique_ptr<RsaPublicKey> PublicOf(EVP_PKEY* key) {
    auto publicKey = std::make_unique<RsaPublicKey>();
    Bytes n = Modulus(key), e = Exponent(key);
    // A leading zero byte, as DER integers carry it, is dropped.
    n.insert(n.begin(), 0x00);
    EXPECT_EQ(publicKey->SetPublicKey(n.data(), n.size(), e.data(), e.size()), 0);
    return publicKey;
}

}  // namespace

TEST(RsaPublicKey, RawVerificationRefusesBadSizesAndPointers) {
    auto publicKey = PublicOf(Key1024());
    EXPECT_EQ(publicKey->GetModulusSize(), 128u);
    Bytes data = ToBytes("raw data signed without DigestInfo");
    Bytes signature = SignRaw(Key1024(), data);
    ASSERT_EQ(signature.size(), 128u);
    EXPECT_EQ(publicKey->Verify(data.data(), data.size(), signature.data(), signature.size()), 0);

    Bytes longer = signature;
    longer.push_back(0);
    EXPECT_NE(publicKey->Verify(data.data(), data.size(), longer.data(), longer.size()), 0);
    EXPECT_NE(publicKey->Verify(data.data(), data.size(), nullptr, 128), 0);
    EXPECT_NE(publicKey->Verify(nullptr, 10, signature.data(), signature.size()), 0);
    Bytes ones(128, 0xFF);  // above the modulus
    EXPECT_NE(publicKey->Verify(data.data(), data.size(), ones.data(), ones.size()), 0);
    EXPECT_NE(publicKey->Verify(static_cast<Hash*>(nullptr), signature.data(), signature.size()), 0);

    // HashSsl3 carries its 36 bytes as raw data.
    Bytes raw36(36);
    for (size_t i = 0; i < raw36.size(); ++i) raw36[i] = static_cast<unsigned char>(i * 7);
    Bytes signature36 = SignRaw(Key1024(), raw36);
    HashSsl3 ssl3;
    ssl3.SetHash(raw36.data());
    EXPECT_EQ(publicKey->Verify(&ssl3, signature36.data(), signature36.size()), 0);

    RsaPublicKey empty;
    EXPECT_NE(empty.Verify(data.data(), data.size(), signature.data(), signature.size()), 0);
}

TEST(RsaPublicKey, EncryptLengthReportAndNullInputs) {
    auto publicKey = PublicOf(Key1024());
    Bytes plain = ToBytes("secret"), cipher(128);
    // A short buffer reports the size needed.
    unsigned long length = 127;
    EXPECT_EQ(publicKey->Encrypt(plain.data(), plain.size(), cipher.data(), &length), 104);
    EXPECT_EQ(length, 128u);
    Bytes tooLong(128 - 10, 0x42);
    length = cipher.size();
    EXPECT_NE(publicKey->Encrypt(tooLong.data(), tooLong.size(), nullptr, &length), 0);

    // Empty input encrypts an empty message; a null pointer with a length does not.
    length = cipher.size();
    ASSERT_EQ(publicKey->Encrypt(nullptr, 0, cipher.data(), &length), 0);
    EXPECT_TRUE(DecryptPkcs1(Key1024(), cipher).empty());
    EXPECT_NE(publicKey->Encrypt(plain.data(), plain.size(), cipher.data(), nullptr), 0);
    EXPECT_NE(publicKey->Encrypt(nullptr, 5, cipher.data(), &length), 0);
}

TEST(RsaPublicKey, SetPublicKeyRefusesEmptyPartsAndIdsAreBounded) {
    RsaPublicKey key;
    const unsigned char zeros[4] = {0, 0, 0, 0};
    const unsigned char e[3] = {1, 0, 1};
    EXPECT_NE(key.SetPublicKey(zeros, 4, e, 3), 0);
    EXPECT_NE(key.SetPublicKey(nullptr, 4, e, 3), 0);
    EXPECT_NE(key.SetPublicKey(e, 3, nullptr, 0), 0);
    EXPECT_EQ(key.GetModulusSize(), 0u);

    // Default ID of a key without a record: SHA-1 of the modulus.
    auto publicKey = PublicOf(Key1024());
    ASSERT_EQ(publicKey->SetCryptokiID(nullptr), 0);
    unsigned long length = 0;
    const unsigned char* id = publicKey->GetAttrId(nullptr, &length);
    EXPECT_EQ(Bytes(id, id + length), Digest(EVP_sha1(), Modulus(Key1024())));
    tKeyIdentifier explicitId = {};
    explicitId.value[0] = 0xAB;
    explicitId.length = 1;
    ASSERT_EQ(publicKey->SetCryptokiID(explicitId), 0);
    id = publicKey->GetAttrId(nullptr, &length);
    EXPECT_EQ(Hex(id, length), "ab");
    explicitId.length = 65;
    EXPECT_NE(publicKey->SetCryptokiID(explicitId), 0);
}
