// Keys on the card: key usage, import, e-signature places, memory limits, records across
// restarts.
#include <openssl/evp.h>
#include <openssl/rsa.h>

#include "CardTestUtil.h"
#include "core/CardImage.h"
#include "unit/core_objects/OpensslHelpers.h"

using namespace Vellumcrest::Core;
using cardtest::CardTest;
using coretest::EncryptPkcs1;
using coretest::RsaParamOf;
using coretest::VerifiesPkcs1;

namespace {

// SHA-256 DigestInfo of "message".
std::vector<unsigned char> digestInfo() {
    static const unsigned char prefix[] = {0x30, 0x31, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01,
                                           0x65, 0x03, 0x04, 0x02, 0x01, 0x05, 0x00, 0x04, 0x20};
    std::vector<unsigned char> info(prefix, prefix + sizeof prefix);
    std::vector<unsigned char> digest = CardCrypto::Sha256(reinterpret_cast<const unsigned char*>("message"), 7);
    info.insert(info.end(), digest.begin(), digest.end());
    return info;
}

PkeyPtr publicKeyOf(ReaderCardPair* pair, const CardPublicKeyRecord* record) {
    std::unique_ptr<CardPublicKey> key(pair->GetCardPublicKey(record, false));
    if (!key) return nullptr;
    return CardCrypto::RsaPublicFromComponents(key->GetModulus(), key->GetExponent());
}

struct KeyPair {
    CardContainerRecord* container = nullptr;
    CardPrivateKeyRecord* priv = nullptr;
    CardPublicKeyRecord* pub = nullptr;
};

int makeKey(ReaderCardPair* pair, int flags, KeyPair* out, const RsaParam* param = nullptr) {
    int rc = pair->CreateContainer(orvostd::OrvoStringW(), 0, CardObjectTypeKeyContainer, &out->container, false);
    if (rc != CoreOk) return rc;
    return pair->GenerateKeyPair(out->container, flags, &out->priv, &out->pub, param);
}

class KeyTest : public CardTest {};

}  // namespace

// Signing and decryption with OpenSSL-checked results, length queries, padding limits and
// the login they need are black-box tested through C_Sign and C_Decrypt.
TEST_F(KeyTest, GeneratedKeyRecordAndDecryptionEdgeCases) {
    ReaderCardPair* pair = Card("--type 1 --user-pin 1234");
    KeyPair key;
    ASSERT_EQ(makeKey(pair, KeyPairFlagSign | KeyPairFlagDecrypt, &key), CoreOk);
    EXPECT_EQ(key.priv->signatureLength, 128u);
    EXPECT_EQ(key.priv->authId, 1);
    EXPECT_EQ(key.priv->flags & CardRecordFlagImported, 0u);
    PkeyPtr pub = publicKeyOf(pair, key.pub);
    ASSERT_TRUE(pub);
    ASSERT_EQ(Login(pair, 1, "1234"), CoreOk);

    std::vector<unsigned char> cipher = EncryptPkcs1(pub.get(), "secret text");
    unsigned char plain[256];
    unsigned long plainLength = 5;
    EXPECT_EQ(pair->Decrypt(key.priv, cipher.data(), cipher.size(), plain, &plainLength), CoreBufferTooSmall);
    EXPECT_EQ(plainLength, 11u) << "the exact plaintext length";
    std::vector<unsigned char> garbage(129, 0x11);
    plainLength = sizeof plain;
    EXPECT_EQ(pair->Decrypt(key.priv, garbage.data(), garbage.size(), plain, &plainLength), CoreInvalidEncryptedData);
}

TEST_F(KeyTest, KeyUsageIsEnforced) {
    ReaderCardPair* pair = Card("--type 1 --user-pin 1234");
    KeyPair signOnly, decryptOnly;
    ASSERT_EQ(makeKey(pair, KeyPairFlagSign, &signOnly), CoreOk);
    ASSERT_EQ(makeKey(pair, KeyPairFlagDecrypt | KeyPairFlag2048, &decryptOnly), CoreOk);
    EXPECT_EQ(decryptOnly.priv->signatureLength, 256u);
    ASSERT_EQ(Login(pair, 1, "1234"), CoreOk);
    std::vector<unsigned char> data = digestInfo();
    unsigned char out[256];
    unsigned long length = sizeof out;
    EXPECT_EQ(pair->Sign(decryptOnly.priv, data.data(), data.size(), out, &length), CoreNotSupported);
    PkeyPtr pub = publicKeyOf(pair, signOnly.pub);
    std::vector<unsigned char> cipher = EncryptPkcs1(pub.get(), "x");
    length = sizeof out;
    EXPECT_EQ(pair->Decrypt(signOnly.priv, cipher.data(), cipher.size(), out, &length), CoreNotSupported);
    CardContainerRecord* container = nullptr;
    ASSERT_EQ(pair->CreateContainer(orvostd::OrvoStringW(), 0, CardObjectTypeKeyContainer, &container, false), CoreOk);
    CardPrivateKeyRecord* priv = nullptr;
    CardPublicKeyRecord* publicRecord = nullptr;
    EXPECT_EQ(pair->GenerateKeyPair(container, 0, &priv, &publicRecord, nullptr), CoreInvalidArgument);
    EXPECT_EQ(pair->FindCardContainerRecord(static_cast<CardFileStorageRecord*>(nullptr)), nullptr);
    EXPECT_EQ(pair->Sign(nullptr, data.data(), data.size(), out, &length), CoreInvalidArgument);
}

TEST_F(KeyTest, ImportedKeysSignAndInconsistentOnesAreRefused) {
    ReaderCardPair* pair = Card("--type 3 --user-pin 1234");
    PkeyPtr original = CardCrypto::GenerateRsa(2048);
    RsaParam param = RsaParamOf(original.get());
    KeyPair key;
    ASSERT_EQ(makeKey(pair, KeyPairFlagSign, &key, &param), CoreOk);
    EXPECT_NE(key.priv->flags & CardRecordFlagImported, 0u);
    EXPECT_NE(key.pub->keyPairFlags & KeyPairFlag2048, 0) << "the size follows the key";
    ASSERT_EQ(Login(pair, 1, "1234"), CoreOk);
    std::vector<unsigned char> data = digestInfo();
    unsigned char signature[256];
    unsigned long length = sizeof signature;
    ASSERT_EQ(pair->Sign(key.priv, data.data(), data.size(), signature, &length), CoreOk);
    EXPECT_TRUE(VerifiesPkcs1(original.get(), data, signature, length));

    // Inconsistent components are refused.
    RsaParam broken = RsaParamOf(original.get());
    std::vector<unsigned char> d = broken.D();
    d[d.size() - 1] ^= 1;
    broken.SetD(d.data(), d.size());
    KeyPair refused;
    EXPECT_EQ(makeKey(pair, KeyPairFlagSign, &refused, &broken), CoreInvalidArgument);
    RsaParam odd = RsaParamOf(CardCrypto::GenerateRsa(1536).get());
    EXPECT_EQ(makeKey(pair, KeyPairFlagSign, &refused, &odd), CoreInvalidArgument);
}

TEST_F(KeyTest, EsignaturePlacesAreLimited) {
    ReaderCardPair* pair = Card("--type 4 --user-pin 1234 --esign-places 1");
    KeyPair first, second, third;
    EXPECT_EQ(makeKey(pair, KeyPairFlagSign | KeyPairFlagEsign, &first), CoreSecurityStatus);
    ASSERT_EQ(Login(pair, 1, "1234"), CoreOk);
    ASSERT_EQ(makeKey(pair, KeyPairFlagSign | KeyPairFlagEsign, &first), CoreOk);
    EXPECT_EQ(makeKey(pair, KeyPairFlagSign | KeyPairFlagEsign, &second), CoreNoFreeKeyPlace);
    EXPECT_EQ(makeKey(pair, KeyPairFlagSign | KeyPairFlagApplication, &second), CoreOk) << "other keys still fit";
    ASSERT_EQ(pair->DeleteKeyPair(first.priv, nullptr), CoreOk);
    EXPECT_EQ(makeKey(pair, KeyPairFlagSign | KeyPairFlagEsign, &third), CoreOk) << "deleting frees the place";

    ReaderCardPair* plain = Card("--type 1 --user-pin 1234", "R2");
    ASSERT_EQ(Login(plain, 1, "1234"), CoreOk);
    EXPECT_EQ(makeKey(plain, KeyPairFlagSign | KeyPairFlagEsign, &first), CoreNoFreeKeyPlace);
}

// Two-step generation: the checks come before the slow part, the key is stored as made on
// the card, and a prepared key fits only a request of its own size.
TEST_F(KeyTest, PreparedKeysAreCheckedFirstAndStoredAsMadeOnTheCard) {
    ReaderCardPair* pair = Card("--type 4 --user-pin 1234 --esign-places 0");
    PreparedKeyPair prepared;
    EXPECT_EQ(pair->PrepareKeyPair(KeyPairFlagSign | KeyPairFlagEsign, &prepared), CoreNoFreeKeyPlace);
    EXPECT_EQ(pair->PrepareKeyPair(KeyPairFlagSign | KeyPairFlagEsign | KeyPairFlagDecrypt, &prepared),
              CoreInvalidArgument);
    EXPECT_EQ(pair->PrepareKeyPair(0, &prepared), CoreInvalidArgument);
    EXPECT_FALSE(prepared.IsReady());

    ASSERT_EQ(pair->PrepareKeyPair(KeyPairFlagSign | KeyPairFlagApplication, &prepared), CoreOk);
    ASSERT_TRUE(prepared.IsReady());
    KeyPair key;
    ASSERT_EQ(pair->CreateContainer(orvostd::OrvoStringW(), 0, CardObjectTypeKeyContainer, &key.container, false),
              CoreOk);
    EXPECT_EQ(pair->GenerateKeyPair(key.container, KeyPairFlagSign | KeyPairFlag2048, &key.priv, &key.pub, nullptr,
                                    &prepared),
              CoreInvalidArgument)
        << "a 1024-bit key for a 2048-bit request";
    ASSERT_EQ(pair->GenerateKeyPair(key.container, KeyPairFlagSign | KeyPairFlagApplication, &key.priv, &key.pub,
                                    nullptr, &prepared),
              CoreOk);
    EXPECT_FALSE(prepared.IsReady()) << "a stored key is not kept outside the card";
    EXPECT_EQ(key.priv->flags & CardRecordFlagImported, 0u);
    unsigned long length = 0;
    EXPECT_EQ(pair->ComputeProof(key.pub, nullptr, &length), CoreOk);

    ReaderCardPair* small = Card("--type 1 --user-pin 1234 --memory 300", "R2");
    EXPECT_EQ(small->PrepareKeyPair(KeyPairFlagSign, &prepared), CoreCardMemoryFull);
}

TEST_F(KeyTest, FullMemoryRefusesWrites) {
    ReaderCardPair* pair = Card("--type 1 --user-pin 1234 --memory 1000");
    const CardInfo* info = pair->GetCardInfo(false);
    EXPECT_EQ(info->totalPublicMemory, 1000);
    EXPECT_EQ(info->freePublicMemory, 1000);
    std::vector<unsigned char> bytes(600, 7);
    CardFileStorageRecord* record = nullptr;
    ASSERT_EQ(pair->CreateFileStorage(orvostd::OrvoStringW(L"ab"), ContainerId_DATA, 0,
                                      CardFileStorage(bytes.data(), bytes.size()), &record, false),
              CoreOk);
    EXPECT_EQ(pair->GetCardInfo(false)->freePublicMemory, 1000 - 602);
    EXPECT_EQ(pair->CreateFileStorage(orvostd::OrvoStringW(L"ab"), ContainerId_DATA, 0,
                                      CardFileStorage(bytes.data(), bytes.size()), &record, false),
              CoreCardMemoryFull);
    KeyPair key;
    EXPECT_EQ(makeKey(pair, KeyPairFlagSign | KeyPairFlag2048, &key), CoreCardMemoryFull);
    std::vector<unsigned char> label(80, 'x');
    CardFileStorageRecord* file = pair->GetFileStorageRecords().at(0);
    file->common.SetLabelUtf8(reinterpret_cast<char*>(label.data()), 80);
    EXPECT_EQ(pair->UpdateFileStorageAttr(file), CoreOk);
    EXPECT_EQ(pair->GetCardInfo(false)->freePublicMemory, 1000 - 682);
    EXPECT_EQ(pair->GetFileStorageRecords().size(), 1u);
}

TEST_F(KeyTest, RecordsSurviveARestart) {
    ReaderCardPair* pair = Card("--type 3 --user-pin 1234");
    KeyPair key;
    ASSERT_EQ(makeKey(pair, KeyPairFlagSign | KeyPairFlagDecrypt, &key), CoreOk);
    ASSERT_TRUE(key.pub->common.SetLabelUtf8("Signing key", 11));
    ASSERT_TRUE(key.priv->common.SetId(reinterpret_cast<const unsigned char*>("\x01\x02"), 2));
    ASSERT_EQ(pair->UpdateKeyPairAttr(key.priv, key.pub), CoreOk);
    uint32_t privateId = key.priv->recordId, publicId = key.pub->recordId;
    CardFileStorageRecord* file = nullptr;
    std::vector<unsigned char> payload(300, 0x42);
    ASSERT_EQ(pair->CreateFileStorage(orvostd::OrvoStringW(L"notes \u00e9"), ContainerId_DATA, 0,
                                      CardFileStorage(payload.data(), payload.size()), &file, false),
              CoreOk);
    uint32_t fileId = file->recordId;
    ASSERT_EQ(pair->DeleteKeyPair(nullptr, nullptr), CoreInvalidArgument);

    ReaderCardPairList restarted;
    ASSERT_EQ(restarted.Update(false), CoreOk);
    ReaderCardPair* again = PairOf(restarted, "R1");
    CardPublicKeyRecord* pub = again->FindCardPublicKeyRecordById(publicId);
    CardPrivateKeyRecord* priv = again->FindCardPrivateKeyRecordById(privateId);
    ASSERT_NE(pub, nullptr);
    ASSERT_NE(priv, nullptr);
    EXPECT_EQ(pub->common.GetLabel(), "Signing key");
    EXPECT_EQ(priv->common.GetId(), (std::vector<unsigned char>{1, 2}));
    EXPECT_EQ(again->FindCardPublicKeyRecord(priv), pub);
    EXPECT_EQ(again->FindCardPrivateKeyRecord(pub), priv);
    CardContainerRecord* container = again->FindCardContainerRecord(pub);
    ASSERT_NE(container, nullptr);
    EXPECT_EQ(again->FindCardPublicKeyRecord(container, 0, nullptr), 1);
    EXPECT_EQ(again->FindCardCertificateRecord(container, 0, nullptr), 0);
    CardFileStorageRecord* storedFile = again->FindCardFileStorageRecordById(fileId);
    ASSERT_NE(storedFile, nullptr);
    EXPECT_EQ(storedFile->name.str(), L"notes \u00e9");
    EXPECT_EQ(again->FindCardContainerRecord(storedFile)->containerId, ContainerId_DATA);
    std::unique_ptr<CardFileStorage> content(again->GetCardFileStorage(storedFile));
    ASSERT_TRUE(content);
    EXPECT_EQ(std::vector<unsigned char>(content->GetData(), content->GetData() + content->GetSize()), payload);

    // Containers: not deleted while they hold records unless asked to; record identifiers
    // are never given out twice.
    EXPECT_EQ(again->DeleteContainer(container, false, false), CoreInvalidArgument);
    ASSERT_EQ(again->DeleteContainer(container, true, false), CoreOk);
    EXPECT_EQ(again->FindCardPublicKeyRecordById(publicId), nullptr);
    EXPECT_EQ(again->FindCardPrivateKeyRecordById(privateId), nullptr);
    KeyPair next;
    ASSERT_EQ(makeKey(again, KeyPairFlagSign, &next), CoreOk);
    EXPECT_GT(next.priv->recordId, fileId);
    EXPECT_GT(next.pub->recordId, fileId);
    EXPECT_EQ(again->DeleteContainer(again->FindCardContainerRecord(storedFile), true, false), CoreInvalidArgument)
        << "the data container stays";
}
