// Containers, certificates and data files on a card reached through a channel: written by
// the card, seen in the pair's image after each write, refused whole when memory is short.
#include "LoopbackCard.h"

using namespace remotetest;
using namespace Vellumcrest::Core;

namespace {

CardCertificate certificateOf(EVP_PKEY* key, const std::string& cn) {
    coretest::CertOptions options;
    options.subjectCN = cn;
    Bytes der = coretest::Der(coretest::MakeCert(key, nullptr, options).get());
    return CardCertificate(der.data(), der.size());
}

std::string labelOnCard(const CardImage& image, uint32_t recordId) {
    for (const auto& item : image.certificates)
        if (item->record.recordId == recordId) return item->record.common.GetLabel();
    for (const auto& item : image.files)
        if (item->record.recordId == recordId) return item->record.common.GetLabel();
    return "(none)";
}

}  // namespace

TEST_F(LoopbackTest, CertificatesDataFilesAndLabelsAreWrittenByTheCard) {
    Serve("--type 1 --user-pin 1234 --memory 400000");
    ASSERT_EQ(pair_->Open(), CoreOk);
    ASSERT_EQ(LoginAs(1, "1234"), CoreOk);
    CardPrivateKeyRecord* priv = nullptr;
    CardPublicKeyRecord* pub = nullptr;
    ASSERT_EQ(MakeKeyPair(KeyPairFlagSign, &priv, &pub), CoreOk);
    coretest::Pkey key = PublicKeyOf(pair_.get(), pub);

    // A client certificate joins its key's container; a root one gets a container of its own.
    CardCertificate client = certificateOf(key.get(), "Client");
    CardCertificateRecord* clientRecord = nullptr;
    ASSERT_EQ(pair_->CreateCertificateClient(client, pub, &clientRecord), CoreOk);
    EXPECT_EQ(pair_->FindCardCertificateRecord(pub), clientRecord);
    std::unique_ptr<CardCertificate> read(pair_->GetCardCertificate(clientRecord));
    ASSERT_TRUE(read);
    EXPECT_EQ(Bytes(read->GetData(), read->GetData() + read->GetSize()),
              Bytes(client.GetData(), client.GetData() + client.GetSize()));
    coretest::Pkey rootKey = coretest::RsaKey(1024);
    CardCertificateRecord* root = nullptr;
    ASSERT_EQ(pair_->CreateCertificateRoot(certificateOf(rootKey.get(), "Root"), &root), CoreOk);
    EXPECT_NE(root->flags & CardRecordFlagRoot, 0u);
    const uint32_t rootContainer = root->containerId;

    // Labels and identifiers: set on the record handed out, stored by the card.
    ASSERT_TRUE(clientRecord->common.SetLabelUtf8("Muj certifikat", 14));
    const unsigned char id[] = {1, 2, 3};
    ASSERT_TRUE(clientRecord->common.SetId(id, sizeof id));
    ASSERT_EQ(pair_->UpdateCertificateAttr(clientRecord), CoreOk);
    const uint32_t clientId = clientRecord->recordId;
    EXPECT_EQ(labelOnCard(*OnCard(), clientId), "Muj certifikat");
    EXPECT_EQ(pair_->FindCardCertificateRecordById(clientId)->common.GetId(), Bytes(id, id + sizeof id));
    priv = pair_->GetPrivateKeyRecords().at(0);
    pub = pair_->FindCardPublicKeyRecord(priv);
    ASSERT_TRUE(priv->common.SetLabelUtf8("Klic", 4));
    ASSERT_TRUE(pub->common.SetLabelUtf8("Klic", 4));
    ASSERT_EQ(pair_->UpdateKeyPairAttr(priv, pub), CoreOk);
    EXPECT_EQ(OnCard()->privateKeys.at(0)->record.common.GetLabel(), "Klic");
    EXPECT_EQ(OnCard()->publicKeys.at(0)->record.common.GetLabel(), "Klic");

    // A data file larger than one command: sent as a chain, read back from the image.
    Bytes big(150000);
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<unsigned char>(i * 7);
    CardFileStorageRecord* file = nullptr;
    ASSERT_EQ(pair_->CreateFileStorage(Utf8ToOrvoStringW("zaznam", 6), ContainerId_DATA, 0,
                                       CardFileStorage(big.data(), big.size()), &file, false),
              CoreOk);
    std::unique_ptr<CardFileStorage> stored(pair_->GetCardFileStorage(file));
    ASSERT_TRUE(stored);
    EXPECT_EQ(Bytes(stored->GetData(), stored->GetData() + stored->GetSize()), big);
    EXPECT_EQ(OrvoStringWToUtf8(file->name), "zaznam");

    // Deletions: the root's own container goes with it; the key container with its contents.
    ASSERT_EQ(pair_->DeleteCertificate(root), CoreOk);
    EXPECT_EQ(OnCard()->FindContainer(rootContainer), nullptr);
    ASSERT_EQ(pair_->DeleteFileStorage(file), CoreOk);
    CardContainerRecord* container = pair_->FindCardContainerRecord(pair_->GetPrivateKeyRecords().at(0));
    ASSERT_NE(container, nullptr);
    EXPECT_EQ(pair_->DeleteContainer(container, false, false), CoreInvalidArgument);
    ASSERT_EQ(pair_->DeleteContainer(container, true, false), CoreOk);
    std::unique_ptr<CardImage> after = OnCard();
    EXPECT_TRUE(after->certificates.empty() && after->privateKeys.empty() && after->files.empty() &&
                after->containers.empty());
    EXPECT_TRUE(pair_->GetCertificateRecords().empty());
    EXPECT_EQ(Info().freePublicMemory, Info().totalPublicMemory);
    pair_->Close();
    EXPECT_EQ(channel_->depth, 0);
}

TEST_F(LoopbackTest, AFullCardRefusesWholeWritesAndEraseNeedsALogin) {
    Serve("--type 1 --user-pin 1234 --memory 3000");
    ASSERT_EQ(pair_->Open(), CoreOk);
    Bytes content(1000, 0x33);
    CardFileStorageRecord* file = nullptr;
    ASSERT_EQ(pair_->CreateFileStorage(orvostd::OrvoStringW(), ContainerId_DATA, 0,
                                       CardFileStorage(content.data(), content.size()), &file, false),
              CoreOk);
    const uint32_t fileId = file->recordId;
    Bytes large(5000, 0x44);
    CardFileStorageRecord* refused = nullptr;
    EXPECT_EQ(pair_->CreateFileStorage(orvostd::OrvoStringW(), ContainerId_DATA, 0,
                                       CardFileStorage(large.data(), large.size()), &refused, false),
              CoreCardMemoryFull);
    EXPECT_EQ(refused, nullptr);
    EXPECT_EQ(pair_->GetFileStorageRecords().size(), 1u);

    // A label that does not fit: refused, and the edit made on the record is undone.
    std::string label(80, 'L');
    const long free = Info().freePublicMemory;
    const long overhead = Info().totalPublicMemory - free - static_cast<long>(content.size());
    Bytes filler(static_cast<size_t>(free - overhead - 20), 0x55);
    CardFileStorageRecord* second = nullptr;
    ASSERT_EQ(pair_->CreateFileStorage(orvostd::OrvoStringW(), ContainerId_DATA, 0,
                                       CardFileStorage(filler.data(), filler.size()), &second, false),
              CoreOk);
    ASSERT_LT(Info().freePublicMemory, 80);
    file = pair_->FindCardFileStorageRecordById(fileId);
    ASSERT_TRUE(file->common.SetLabelUtf8(label.data(), label.size()));
    EXPECT_EQ(pair_->UpdateFileStorageAttr(file), CoreCardMemoryFull);
    EXPECT_EQ(pair_->FindCardFileStorageRecordById(fileId)->common.GetLabel(), "");
    EXPECT_EQ(labelOnCard(*OnCard(), fileId), "");

    // Erasing takes a login; the card then holds nothing, and neither does the pair.
    EXPECT_EQ(pair_->EraseCard(true), CoreSecurityStatus);
    ASSERT_EQ(LoginAs(1, "1234"), CoreOk);
    ASSERT_EQ(pair_->EraseCard(true), CoreOk);
    EXPECT_TRUE(pair_->GetFileStorageRecords().empty());
    EXPECT_TRUE(OnCard()->files.empty());
    pair_->Close();
}

TEST_F(LoopbackTest, WritesOfAnotherProcessAreSeenAndAPulledCardFailsCleanly) {
    Serve("--type 1 --user-pin 1234");
    // Another application writes through its own connection to the card.
    Bytes content = coretest::ToBytes("from elsewhere");
    CardFileStorageRecord* theirs = nullptr;
    ASSERT_EQ(card_->CreateFileStorage(orvostd::OrvoStringW(), ContainerId_DATA, 0,
                                       CardFileStorage(content.data(), content.size()), &theirs, false),
              CoreOk);
    ASSERT_EQ(pair_->Refresh(), CoreOk);
    ASSERT_EQ(pair_->GetFileStorageRecords().size(), 1u);

    ASSERT_EQ(pair_->Open(), CoreOk);
    channel_->pulled = true;
    CardFileStorageRecord* ours = nullptr;
    EXPECT_EQ(pair_->CreateFileStorage(orvostd::OrvoStringW(), ContainerId_DATA, 0,
                                       CardFileStorage(content.data(), content.size()), &ours, false),
              CoreCardNotPresent);
    EXPECT_EQ(ours, nullptr);
    EXPECT_EQ(LoginAs(1, "1234"), CoreCardNotPresent);
    pair_->Logout();
    pair_->Close();
    ASSERT_EQ(pair_->Refresh(), CoreOk);
    EXPECT_FALSE(pair_->IsSupportedCardPresent());
}
