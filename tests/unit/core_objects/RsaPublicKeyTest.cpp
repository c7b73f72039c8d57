#include <gtest/gtest.h>

#include <memory>

#include "OpensslHelpers.h"
#include "core/CoreObjects.h"

using namespace Vellumcrest::Core;
using namespace coretest;

namespace {

struct Fixture {
    Pkey key1024 = RsaKey(1024);
    Pkey key2048 = RsaKey(2048);
};
Fixture& F() {
    static Fixture fixture;
    return fixture;
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

TEST(RsaPublicKey, VerifiesHashAndSignSignaturesMadeByOpenSsl) {
    Bytes message = ToBytes("message to be signed");
    const struct {
        const EVP_MD* md;
        HashType type;
    } cases[] = {{EVP_md5(), HashTypeMd5},       {EVP_sha1(), HashTypeSha1},     {EVP_sha224(), HashTypeSha224},
                 {EVP_sha256(), HashTypeSha256}, {EVP_sha384(), HashTypeSha384}, {EVP_sha512(), HashTypeSha512}};
    for (EVP_PKEY* key : {F().key1024.get(), F().key2048.get()}) {
        auto publicKey = PublicOf(key);
        EXPECT_EQ(publicKey->GetModulusSize() * 8, static_cast<unsigned long>(EVP_PKEY_get_bits(key)));
        for (const auto& c : cases) {
            SCOPED_TRACE(c.type);
            Bytes signature = SignMessage(key, c.md, message);
            Bytes digest = Digest(c.md, message);
            std::unique_ptr<Hash> hash = MakeHash(c.type);
            hash->SetHash(digest.data());
            EXPECT_EQ(publicKey->Verify(hash.get(), signature.data(), signature.size()), 0);
            // The hash object can also compute the digest itself.
            hash->Update(message.data(), message.size());
            hash->Final();
            EXPECT_EQ(publicKey->Verify(hash.get(), signature.data(), signature.size()), 0);

            Bytes wrong = signature;
            wrong[wrong.size() / 2] ^= 0x01;
            EXPECT_NE(publicKey->Verify(hash.get(), wrong.data(), wrong.size()), 0);
            digest[0] ^= 0x80;
            hash->SetHash(digest.data());
            EXPECT_NE(publicKey->Verify(hash.get(), signature.data(), signature.size()), 0);
        }
    }
}

TEST(RsaPublicKey, RawVerificationAndBadSizes) {
    EVP_PKEY* key = F().key1024.get();
    auto publicKey = PublicOf(key);
    Bytes data = ToBytes("raw data signed without DigestInfo");
    Bytes signature = SignRaw(key, data);
    ASSERT_EQ(signature.size(), 128u);
    EXPECT_EQ(publicKey->Verify(data.data(), data.size(), signature.data(), signature.size()), 0);

    Bytes shorter(data.begin(), data.end() - 1);
    EXPECT_NE(publicKey->Verify(shorter.data(), shorter.size(), signature.data(), signature.size()), 0);
    EXPECT_NE(publicKey->Verify(data.data(), data.size(), signature.data(), signature.size() - 1), 0);
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
    Bytes signature36 = SignRaw(key, raw36);
    HashSsl3 ssl3;
    ssl3.SetHash(raw36.data());
    EXPECT_EQ(publicKey->Verify(&ssl3, signature36.data(), signature36.size()), 0);

    RsaPublicKey empty;
    EXPECT_NE(empty.Verify(data.data(), data.size(), signature.data(), signature.size()), 0);
}

TEST(RsaPublicKey, EncryptRoundTripAndLengthProtocol) {
    for (EVP_PKEY* key : {F().key1024.get(), F().key2048.get()}) {
        auto publicKey = PublicOf(key);
        unsigned long k = publicKey->GetModulusSize();
        Bytes plain = ToBytes("secret session key material");

        unsigned long length = 0;
        EXPECT_EQ(publicKey->Encrypt(plain.data(), plain.size(), nullptr, &length), 0);
        EXPECT_EQ(length, k);

        Bytes small(k - 1);
        length = small.size();
        EXPECT_EQ(publicKey->Encrypt(plain.data(), plain.size(), small.data(), &length), 104);
        EXPECT_EQ(length, k);

        Bytes cipher(k + 10);
        length = cipher.size();
        ASSERT_EQ(publicKey->Encrypt(plain.data(), plain.size(), cipher.data(), &length), 0);
        ASSERT_EQ(length, k);
        cipher.resize(length);
        EXPECT_EQ(DecryptPkcs1(key, cipher), plain);

        Bytes longest(k - 11, 0x42);
        length = cipher.size();
        ASSERT_EQ(publicKey->Encrypt(longest.data(), longest.size(), cipher.data(), &length), 0);
        EXPECT_EQ(DecryptPkcs1(key, cipher), longest);
        Bytes tooLong(k - 10, 0x42);
        length = cipher.size();
        EXPECT_NE(publicKey->Encrypt(tooLong.data(), tooLong.size(), cipher.data(), &length), 0);
        EXPECT_NE(publicKey->Encrypt(tooLong.data(), tooLong.size(), nullptr, &length), 0);

        length = cipher.size();
        ASSERT_EQ(publicKey->Encrypt(nullptr, 0, cipher.data(), &length), 0);
        EXPECT_TRUE(DecryptPkcs1(key, cipher).empty());
        EXPECT_NE(publicKey->Encrypt(plain.data(), plain.size(), cipher.data(), nullptr), 0);
        EXPECT_NE(publicKey->Encrypt(nullptr, 5, cipher.data(), &length), 0);
    }
}

TEST(RsaPublicKey, SetPublicKeyRefusesEmptyParts) {
    RsaPublicKey key;
    const unsigned char zeros[4] = {0, 0, 0, 0};
    const unsigned char e[3] = {1, 0, 1};
    EXPECT_NE(key.SetPublicKey(zeros, 4, e, 3), 0);
    EXPECT_NE(key.SetPublicKey(nullptr, 4, e, 3), 0);
    EXPECT_NE(key.SetPublicKey(e, 3, nullptr, 0), 0);
    EXPECT_EQ(key.GetModulusSize(), 0u);

    // Default ID and label of a key without a record.
    auto publicKey = PublicOf(F().key1024.get());
    ASSERT_EQ(publicKey->SetCryptokiID(nullptr), 0);
    unsigned long length = 0;
    const unsigned char* id = publicKey->GetAttrId(nullptr, &length);
    EXPECT_EQ(Bytes(id, id + length), Digest(EVP_sha1(), Modulus(F().key1024.get())));
    tKeyIdentifier explicitId = {};
    explicitId.value[0] = 0xAB;
    explicitId.length = 1;
    ASSERT_EQ(publicKey->SetCryptokiID(explicitId), 0);
    id = publicKey->GetAttrId(nullptr, &length);
    EXPECT_EQ(Hex(id, length), "ab");
    explicitId.length = 65;
    EXPECT_NE(publicKey->SetCryptokiID(explicitId), 0);
}
