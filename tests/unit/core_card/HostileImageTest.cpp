// Card images from a hostile source: counts and sizes outside the documented bounds make
// an unsupported card, never a hang, a crash or an allocation without limit.
#include "CardTestUtil.h"
#include "core/CardAuth.h"
#include "core/CardImage.h"

using namespace Vellumcrest::Core;
using cardtest::CardTest;

namespace {

std::unique_ptr<CardImage> plainImage() {
    CardSettings settings;
    settings.type = 2;
    std::unique_ptr<CardImage> image;
    EXPECT_EQ(CardContent::CreateCard(settings, &image), CoreOk);
    return image;
}

void addContainers(CardImage& image, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        auto item = std::make_unique<ImageContainer>();
        item->record.containerId = image.nextContainerId++;
        if (CardContent::IsDataContainer(item->record.containerId)) item->record.containerId = image.nextContainerId++;
        item->record.type = CardObjectTypeKeyContainer;
        image.containers.push_back(std::move(item));
    }
}

void addFiles(CardImage& image, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        auto item = std::make_unique<ImageFile>();
        item->record.recordId = image.nextRecordId++;
        image.files.push_back(std::move(item));
    }
}

int parse(const CardImage& image) {
    std::vector<unsigned char> bytes = image.Serialise();
    std::unique_ptr<CardImage> parsed;
    return CardImage::Parse(bytes.data(), bytes.size(), &parsed);
}

// Serialised image whose body gets extra raw bytes appended (header fixed up).
std::vector<unsigned char> withExtraBody(const CardImage& image, const std::vector<unsigned char>& extra) {
    std::vector<unsigned char> bytes = image.Serialise();
    bytes.insert(bytes.end(), extra.begin(), extra.end());
    uint32_t body = static_cast<uint32_t>(bytes.size() - 48);
    for (int i = 0; i < 4; ++i) bytes[12 + i] = static_cast<unsigned char>(body >> (8 * i));
    std::vector<unsigned char> hashed(bytes.begin(), bytes.begin() + 16);
    hashed.insert(hashed.end(), bytes.begin() + 48, bytes.end());
    std::vector<unsigned char> digest = CardCrypto::Sha256(hashed.data(), hashed.size());
    std::copy(digest.begin(), digest.end(), bytes.begin() + 16);
    return bytes;
}

}  // namespace

TEST(HostileImage, CountsAndSizesOutsideTheBoundsAreRefused) {
    struct Case {
        const char* name;
        std::function<void(CardImage&)> mutate;
        bool accepted;
    };
    const Case cases[] = {
        {"PBKDF2 iterations at the bound", [](CardImage& i) { i.pins[1].iterations = kCardMaxPinIterations; }, true},
        {"PBKDF2 iterations 2 000 000 000", [](CardImage& i) { i.pins[1].iterations = 2000000000u; }, false},
        {"containers at the bound", [](CardImage& i) { addContainers(i, kCardMaxContainers); }, true},
        {"one container too many", [](CardImage& i) { addContainers(i, kCardMaxContainers + 1); }, false},
        {"records at the bound", [](CardImage& i) { addFiles(i, kCardMaxRecords); }, true},
        {"one record too many", [](CardImage& i) { addFiles(i, kCardMaxRecords + 1); }, false},
        {"e-signature places", [](CardImage& i) { i.esignPlaces = kCardMaxEsignPlaces + 1; }, false},
        {"container name",
         [](CardImage& i) {
             addContainers(i, 1);
             i.containers[0]->record.name = std::wstring(kCardMaxNameSize + 1, L'n');
         },
         false},
        {"modulus",
         [](CardImage& i) {
             auto key = std::make_unique<ImagePublicKey>();
             key->record.recordId = i.nextRecordId++;
             key->modulus.assign(kCardMaxModulusSize + 1, 0xC1);
             key->exponent = {1, 0, 1};
             i.publicKeys.push_back(std::move(key));
         },
         false},
        {"certificate",
         [](CardImage& i) {
             auto cert = std::make_unique<ImageCertificate>();
             cert->record.recordId = i.nextRecordId++;
             cert->record.kind = CertificateKindRoot;
             cert->der.assign(kCardMaxCertificateSize + 1, 0x30);
             i.certificates.push_back(std::move(cert));
         },
         false},
    };
    std::unique_ptr<CardImage> base = plainImage();
    SecureBytes storage = base->storageOpen;
    ASSERT_EQ(CardAuth::SetPin(*base, 1, reinterpret_cast<const unsigned char*>("1234"), 4, &storage), CoreOk);
    std::vector<unsigned char> baseBytes = base->Serialise();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::unique_ptr<CardImage> image;
        ASSERT_EQ(CardImage::Parse(baseBytes.data(), baseBytes.size(), &image), CoreOk);
        c.mutate(*image);
        EXPECT_EQ(parse(*image), c.accepted ? CoreOk : CoreCardUnsupported);
    }

    // Many unknown items, and an item with many fields.
    std::vector<unsigned char> unknown;
    for (size_t i = 0; i < kCardMaxItems; ++i) unknown.insert(unknown.end(), {0x77, 0x77, 0, 0, 0, 0});
    std::vector<unsigned char> bytes = withExtraBody(*base, unknown);
    std::unique_ptr<CardImage> parsed;
    EXPECT_EQ(CardImage::Parse(bytes.data(), bytes.size(), &parsed), CoreCardUnsupported);
    std::vector<unsigned char> wide = {0x77, 0x77, 0, 0, 0, 0};
    for (size_t i = 0; i <= kCardMaxItemFields; ++i) wide.insert(wide.end(), {0x55, 0, 0, 0, 0, 0});
    wide[2] = static_cast<unsigned char>(wide.size() - 6);
    wide[3] = static_cast<unsigned char>((wide.size() - 6) >> 8);
    wide[0] = 0x10;  // a container item
    wide[1] = 0x00;
    bytes = withExtraBody(*base, wide);
    EXPECT_EQ(CardImage::Parse(bytes.data(), bytes.size(), &parsed), CoreCardUnsupported);
}

TEST(HostileImage, WritersStayWithinTheBounds) {
    std::unique_ptr<CardImage> image = plainImage();
    image->totalMemory = 0x7FFFFFFF;
    EXPECT_EQ(CardContent::AddContainer(*image, std::string(kCardMaxNameSize + 1, 'n'), CardObjectTypeKeyContainer,
                                        nullptr),
              CoreInvalidArgument);
    addContainers(*image, kCardMaxContainers - 1);
    EXPECT_EQ(CardContent::AddContainer(*image, "last", CardObjectTypeKeyContainer, nullptr), CoreOk);
    EXPECT_EQ(CardContent::AddContainer(*image, "over", CardObjectTypeKeyContainer, nullptr), CoreCardMemoryFull);
    addFiles(*image, kCardMaxRecords - 1);
    const unsigned char data[] = {1};
    EXPECT_EQ(CardContent::AddFile(*image, ContainerId_DATA, "last", 0, data, 1, nullptr), CoreOk);
    EXPECT_EQ(CardContent::AddFile(*image, ContainerId_DATA, "over", 0, data, 1, nullptr), CoreCardMemoryFull);
    EXPECT_EQ(parse(*image), CoreOk);
    CardSettings settings;
    settings.esignPlaces = kCardMaxEsignPlaces + 1;
    EXPECT_EQ(CardContent::CreateCard(settings, &image), CoreInvalidArgument);
}

// 160 000 containers took 35 s to parse (a linear look-up per container); now the image
// is refused at once, and the largest allowed image parses in linear time.
TEST_F(CardTest, HostileImageInAReaderIsAnUnsupportedCardAndLoginDoesNotHang) {
    std::string path = InsertNewCard("R1", "--type 1 --user-pin 1234 --so-pin 12345678");
    std::unique_ptr<CardImage> image;
    CardFileStamp stamp;
    ASSERT_EQ(ReadCardImage(path, &image, &stamp), CoreOk);
    image->pins[CardAuthIdUser].iterations = 2000000000u;
    cardtest::WriteBytes(path, image->Serialise());
    ASSERT_EQ(list_.Update(false), CoreOk);
    ReaderCardPair* pair = PairOf(list_, "R1");
    ASSERT_NE(pair, nullptr);
    EXPECT_EQ(pair->GetCardType(), 0);
    EXPECT_EQ(Login(pair, CardAuthIdUser, "1234"), CoreCardUnsupported);

    image->pins[CardAuthIdUser].iterations = CardCrypto::kDefaultPinIterations;
    addContainers(*image, 160000);
    cardtest::WriteBytes(path, image->Serialise());
    ASSERT_EQ(list_.Update(false), CoreOk);
    EXPECT_EQ(pair->GetCardType(), 0);

    image->containers.resize(kCardMaxContainers);
    addFiles(*image, kCardMaxRecords);
    cardtest::WriteBytes(path, image->Serialise());
    ASSERT_EQ(list_.Update(false), CoreOk);
    EXPECT_EQ(pair->GetCardType(), 1);
    EXPECT_EQ(Login(pair, CardAuthIdUser, "1234"), CoreOk);
}
