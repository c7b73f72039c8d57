// Card image format: round trip, damaged images, atomic writes.
#include <dirent.h>

#include "CardTestUtil.h"
#include "core/CardAuth.h"
#include "core/CardImage.h"

using namespace Vellumcrest::Core;
using cardtest::CardTest;

namespace {

std::unique_ptr<CardImage> sampleImage() {
    CardSettings settings;
    settings.type = 3;
    settings.cardId = "0123456789ABCDEF0123456789ABCDEF";
    settings.model = "Model X";
    settings.thirdCode = true;
    std::unique_ptr<CardImage> image;
    EXPECT_EQ(CardContent::CreateCard(settings, &image), CoreOk);
    SecureBytes storage = image->storageOpen;
    EXPECT_EQ(CardAuth::SetPin(*image, 1, reinterpret_cast<const unsigned char*>("1234"), 4, &storage), CoreOk);
    EXPECT_EQ(CardAuth::SetPin(*image, 2, reinterpret_cast<const unsigned char*>("12345678"), 8, &storage), CoreOk);
    CardAuth::NormaliseStorage(*image, &storage);
    ImageContainer* container = nullptr;
    EXPECT_EQ(CardContent::AddContainer(*image, "keys", CardObjectTypeKeyContainer, &container), CoreOk);
    PkeyPtr key = CardCrypto::GenerateRsa(1024);
    ImagePrivateKey* priv = nullptr;
    ImagePublicKey* pub = nullptr;
    EXPECT_EQ(CardContent::AddKeyPair(*image, container->record.containerId, KeyPairFlagSign, key.get(), false, &priv,
                                      &pub),
              CoreOk);
    pub->record.common.SetLabelUtf8("label", 5);
    const unsigned char data[] = {1, 2, 3};
    EXPECT_EQ(CardContent::AddFile(*image, ContainerId_DATA, "file", 0, data, sizeof data, nullptr), CoreOk);
    return image;
}

std::vector<std::string> temporaries(const std::string& directory) {
    std::vector<std::string> names;
    DIR* dir = ::opendir(directory.c_str());
    while (dir != nullptr && (errno = 0, true)) {
        struct dirent* entry = ::readdir(dir);
        if (entry == nullptr) break;
        if (std::string(entry->d_name).find(".tmp-") != std::string::npos) names.push_back(entry->d_name);
    }
    if (dir != nullptr) ::closedir(dir);
    return names;
}

}  // namespace

TEST(CardImageFormat, RoundTripKeepsEverything) {
    std::unique_ptr<CardImage> image = sampleImage();
    std::vector<unsigned char> bytes = image->Serialise();
    std::unique_ptr<CardImage> parsed;
    ASSERT_EQ(CardImage::Parse(bytes.data(), bytes.size(), &parsed), CoreOk);
    EXPECT_EQ(parsed->cardId, image->cardId);
    EXPECT_EQ(parsed->type, 3);
    EXPECT_EQ(parsed->model, "Model X");
    EXPECT_EQ(parsed->Identity(), image->Identity());
    EXPECT_TRUE(parsed->pins[1].initialised);
    EXPECT_TRUE(parsed->pins[3].present);
    EXPECT_FALSE(parsed->pins[3].initialised);
    EXPECT_TRUE(parsed->storageOpen.empty()) << "a PIN holds the storage key: no open copy";
    ASSERT_EQ(parsed->publicKeys.size(), 1u);
    EXPECT_EQ(parsed->publicKeys[0]->modulus, image->publicKeys[0]->modulus);
    EXPECT_EQ(parsed->publicKeys[0]->record.common.GetLabel(), "label");
    ASSERT_EQ(parsed->files.size(), 1u);
    EXPECT_EQ(parsed->files[0]->data, (std::vector<unsigned char>{1, 2, 3}));
    EXPECT_EQ(parsed->UsedMemory(), image->UsedMemory());
    EXPECT_EQ(parsed->Serialise(), bytes) << "the form is deterministic";
}

// The identity tells insertions apart; HasIdentity answers without building it.
TEST(CardImageFormat, IdentityIsCardIdAndInsertionSerial) {
    std::unique_ptr<CardImage> image = sampleImage();
    image->cardId = "ABC";
    image->insertionSerial = 0x00f0000000001a2bULL;
    EXPECT_EQ(image->Identity(), "ABC#00f0000000001a2b");
    EXPECT_TRUE(image->HasIdentity("ABC#00f0000000001a2b"));
    for (const char* other : {"ABC#00f0000000001a2c", "ABD#00f0000000001a2b", "ABC#00f0000000001a2",
                              "AB#00f0000000001a2b", "ABC-00f0000000001a2b", ""})
        EXPECT_FALSE(image->HasIdentity(other)) << other;
}

TEST(CardImageFormat, DamagedImagesAreRefusedWithoutCrash) {
    std::vector<unsigned char> bytes = sampleImage()->Serialise();
    std::unique_ptr<CardImage> parsed;
    for (size_t length = 0; length < bytes.size(); length += (length < 64 ? 1 : 37))
        EXPECT_EQ(CardImage::Parse(bytes.data(), length, &parsed), CoreCardUnsupported) << "truncated to " << length;
    for (size_t position = 0; position < bytes.size(); position += 3) {
        std::vector<unsigned char> damaged = bytes;
        damaged[position] ^= static_cast<unsigned char>(1u << (position % 8));
        EXPECT_EQ(CardImage::Parse(damaged.data(), damaged.size(), &parsed), CoreCardUnsupported)
            << "bit flipped at " << position;
        EXPECT_EQ(parsed, nullptr);
    }
    std::vector<unsigned char> longer = bytes;
    longer.push_back(0);
    EXPECT_EQ(CardImage::Parse(longer.data(), longer.size(), &parsed), CoreCardUnsupported);
    EXPECT_EQ(CardImage::Parse(nullptr, 0, &parsed), CoreCardUnsupported);
}

TEST(CardImageFormat, UnknownVersionIsRefusedEvenWithAValidChecksum) {
    std::vector<unsigned char> bytes = sampleImage()->Serialise();
    bytes[8] = 2;  // format version
    std::vector<unsigned char> hashed(bytes.begin(), bytes.begin() + 16);
    hashed.insert(hashed.end(), bytes.begin() + 48, bytes.end());
    std::vector<unsigned char> digest = CardCrypto::Sha256(hashed.data(), hashed.size());
    std::copy(digest.begin(), digest.end(), bytes.begin() + 16);
    std::unique_ptr<CardImage> parsed;
    EXPECT_EQ(CardImage::Parse(bytes.data(), bytes.size(), &parsed), CoreCardUnsupported);
}

TEST_F(CardTest, UnreadableCardInReaderIsUnsupported) {
    std::string image = InsertNewCard("R1", "--type 1 --user-pin 1234");
    std::vector<unsigned char> bytes = cardtest::ReadBytes(image);
    bytes.resize(bytes.size() / 2);
    cardtest::WriteBytes(image, bytes);
    ASSERT_EQ(list_.Update(false), CoreOk);
    ReaderCardPair* pair = PairOf(list_, "R1");
    ASSERT_NE(pair, nullptr);
    EXPECT_TRUE(pair->IsValidReader());
    EXPECT_EQ(pair->GetCardType(), 0);
    EXPECT_FALSE(pair->IsSupportedCardPresent());
    EXPECT_EQ(pair->GetCardInfo(true), nullptr);
    EXPECT_EQ(pair->Open(), CoreCardUnsupported);
    EXPECT_EQ(Login(pair, 1, "1234"), CoreCardUnsupported);
    EXPECT_TRUE(pair->GetPublicKeyRecords().empty());
    EXPECT_EQ(pair->FindCardPublicKeyRecordById(1), nullptr);
    EXPECT_EQ(Tool("dump @R1").exitCode, 1);

    // Garbage that is not an image at all.
    cardtest::WriteBytes(image, std::vector<unsigned char>(10000, 0xA5));
    ASSERT_EQ(list_.Update(false), CoreOk);
    EXPECT_EQ(pair->GetCardType(), 0);
    EXPECT_TRUE(pair->GetReader()->GetCardChanged());
}

TEST_F(CardTest, FailedWriteLeavesTheOldImageAndNoTemporaries) {
    ReaderCardPair* pair = Card("--type 2 --user-pin 1234");
    ASSERT_NE(pair, nullptr);
    std::string image = ReaderDir("R1") + "/card.vcard";
    std::vector<unsigned char> before = cardtest::ReadBytes(image);
    CardFileStorage data(reinterpret_cast<const unsigned char*>("payload"), 7);

    for (int stage : {1, 2}) {
        SetCardWriteFaultForTesting(stage);
        CardFileStorageRecord* record = nullptr;
        EXPECT_EQ(pair->CreateFileStorage(orvostd::OrvoStringW(L"f"), ContainerId_DATA, 0, data, &record, false),
                  CoreIoError);
        SetCardWriteFaultForTesting(0);
        EXPECT_EQ(record, nullptr);
        EXPECT_EQ(cardtest::ReadBytes(image), before) << "stage " << stage;
        EXPECT_TRUE(temporaries(ReaderDir("R1")).empty());
        EXPECT_TRUE(pair->GetFileStorageRecords().empty()) << "memory follows the card";
    }

    // A temporary left by a writer that died is cleaned up by the next write.
    std::string stale = ReaderDir("R1") + "/card.vcard.tmp-999999999";
    cardtest::WriteBytes(stale, {1, 2, 3});
    CardFileStorageRecord* record = nullptr;
    ASSERT_EQ(pair->CreateFileStorage(orvostd::OrvoStringW(L"f"), ContainerId_DATA, 0, data, &record, false), CoreOk);
    EXPECT_FALSE(cardtest::Exists(stale));
    EXPECT_NE(cardtest::ReadBytes(image), before);
    EXPECT_EQ(pair->GetFileStorageRecords().size(), 1u);
}
