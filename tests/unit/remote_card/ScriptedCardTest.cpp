// The module's APDU client against a card that answers from a script: what it sends, and
// how it takes answers that are refused, malformed, oversized or never ending.
#include <deque>
#include <functional>

#include <gtest/gtest.h>

#include "core/CardImage.h"
#include "core/RemoteCard.h"

using namespace Vellumcrest::Core;

namespace {

Apdu::Bytes Answer(const Apdu::Bytes& data, uint16_t sw) {
    Apdu::Bytes out = data;
    out.push_back(static_cast<unsigned char>(sw >> 8));
    out.push_back(static_cast<unsigned char>(sw));
    return out;
}

// Answers each command with the next scripted answer, or through a function when set;
// keeps the commands it was sent.
class ScriptedChannel : public CardChannel {
public:
    int Transmit(const Apdu::Bytes& command, Apdu::Response* response) override {
        sent.push_back(command);
        if (failWith != 0) return failWith;
        Apdu::Bytes answer;
        if (reply) {
            answer = reply(command);
        } else if (!script.empty()) {
            answer = script.front();
            script.pop_front();
        } else {
            answer = Answer({}, Apdu::SwInsNotSupported);
        }
        return Apdu::ParseResponse(answer.data(), answer.size(), response) ? CoreOk : CoreSCardError;
    }
    int BeginTransaction() override { return CoreOk; }
    void EndTransaction() override {}
    unsigned long LastError() const override { return 0; }

    std::deque<Apdu::Bytes> script;
    std::function<Apdu::Bytes(const Apdu::Bytes&)> reply;
    std::vector<Apdu::Bytes> sent;
    int failWith = 0;
};

Apdu::Bytes Fci() {
    Apdu::TlvWriter inner;
    inner.Add(Apdu::TagKeyReference, Apdu::kAid, sizeof Apdu::kAid);
    Apdu::TlvWriter fci;
    fci.Add(Apdu::TagFci, inner.Data());
    return fci.Take();
}

Apdu::Bytes IdentityTlv(const std::string& cardId, uint64_t serial, uint64_t generation, unsigned type) {
    Apdu::TlvWriter tlv;
    tlv.Add(Apdu::kIdentityCardId, reinterpret_cast<const unsigned char*>(cardId.data()), cardId.size())
        .AddU64(Apdu::kIdentitySerial, serial)
        .AddU64(Apdu::kIdentityGeneration, generation)
        .AddU8(Apdu::kIdentityCardType, type);
    return tlv.Take();
}

// The command's parsed form (the test fails on a malformed one).
Apdu::Command Parsed(const Apdu::Bytes& apdu) {
    Apdu::Command command;
    EXPECT_TRUE(Apdu::ParseCommand(apdu.data(), apdu.size(), &command));
    return command;
}

}  // namespace

TEST(RemoteCardTest, SelectTellsOurCardFromForeignOnesAndReadsItsIdentity) {
    ScriptedChannel channel;
    RemoteCard card(&channel);
    RemoteIdentity identity;

    channel.script = {Answer(Fci(), Apdu::SwOk), Answer(IdentityTlv("CARD-1", 0x1234, 7, 4), Apdu::SwOk)};
    ASSERT_EQ(card.Select(&identity), CoreOk);
    EXPECT_EQ(identity.cardId, "CARD-1");
    EXPECT_EQ(identity.generation, 7u);
    EXPECT_EQ(identity.type, 4);
    CardImage image;
    image.cardId = "CARD-1";
    image.insertionSerial = 0x1234;
    EXPECT_EQ(identity.Identity(), image.Identity());
    Apdu::Command select = Parsed(channel.sent[0]);
    EXPECT_EQ(select.ins, Apdu::InsSelect);
    EXPECT_EQ(select.data, Apdu::Bytes(Apdu::kAid, Apdu::kAid + sizeof Apdu::kAid));

    // Foreign cards: a refusal of any kind, an FCI of another application, garbage.
    Apdu::Bytes otherFci = Fci();
    otherFci.back() ^= 1;
    for (const Apdu::Bytes& answer : {Answer({}, Apdu::SwApplicationNotFound), Answer({}, Apdu::SwClaNotSupported),
                                      Answer({}, 0x6999), Answer(otherFci, Apdu::SwOk),
                                      Answer({0x6F, 0x05}, Apdu::SwOk),
                                      Answer({}, Apdu::SwOk)}) {
        channel.script = {answer};
        EXPECT_EQ(card.Select(&identity), CoreCardUnsupported);
    }
    // Our application with an identity that is no identity.
    Apdu::Bytes truncated = IdentityTlv("CARD-1", 1, 1, 1);
    truncated.pop_back();
    for (const Apdu::Bytes& data : {truncated, IdentityTlv("CARD 1", 1, 1, 1), IdentityTlv("", 1, 1, 1),
                                    IdentityTlv("CARD-1", 1, 1, 9), Apdu::Bytes{0x81, 0x01, 'A'}}) {
        channel.script = {Answer(Fci(), Apdu::SwOk), Answer(data, Apdu::SwOk)};
        EXPECT_EQ(card.Select(&identity), CoreCardUnsupported);
    }
    // A reader that cannot reach the card says so, and says nothing of the card.
    channel.failWith = CoreSCardError;
    EXPECT_EQ(card.Select(&identity), CoreSCardError);
    channel.failWith = CoreCardNotPresent;
    EXPECT_EQ(card.ReadIdentity(&identity), CoreCardNotPresent);
}

TEST(RemoteCardTest, PublicImageIsReadInChunksUntilAShortOneAndBoundedInSize) {
    std::unique_ptr<CardImage> made;
    CardSettings settings;
    settings.cardId = "IMAGE-1";
    ASSERT_EQ(CardContent::CreateCard(settings, &made), CoreOk);
    ImageFile* file = nullptr;
    std::vector<unsigned char> content(150000, 0x5A);
    made->totalMemory = 1u << 20;
    ASSERT_EQ(CardContent::AddFile(*made, ContainerId_DATA, "big", 0, content.data(), content.size(), &file), CoreOk);
    const std::vector<unsigned char> bytes = made->SerialisePublic();
    ASSERT_GT(bytes.size(), 2 * Apdu::kReadChunk);

    ScriptedChannel channel;
    std::vector<uint32_t> offsets;
    channel.reply = [&](const Apdu::Bytes& apdu) {
        Apdu::Command command = Parsed(apdu);
        Apdu::TlvReader tlv;
        uint32_t offset = 0;
        EXPECT_TRUE(tlv.Parse(command.data) && tlv.U32(Apdu::TagOffset, &offset));
        EXPECT_EQ(command.le, Apdu::kReadChunk);
        offsets.push_back(offset);
        size_t n = offset >= bytes.size() ? 0 : std::min(command.le, bytes.size() - offset);
        return Answer(Apdu::Bytes(bytes.begin() + offset, bytes.begin() + offset + n),
                      n < command.le ? Apdu::SwEndOfFile : Apdu::SwOk);
    };
    RemoteCard card(&channel);
    std::unique_ptr<CardImage> image;
    ASSERT_EQ(card.ReadPublicImage(&image), CoreOk);
    EXPECT_EQ(image->cardId, "IMAGE-1");
    ASSERT_EQ(image->files.size(), 1u);
    EXPECT_EQ(image->files[0]->data, content);
    ASSERT_EQ(offsets.size(), bytes.size() / Apdu::kReadChunk + 1);
    for (size_t i = 0; i < offsets.size(); ++i) EXPECT_EQ(offsets[i], i * Apdu::kReadChunk);

    // A card that sends more than asked for, one that never ends, and one whose image is
    // no image: refused without reading past what was sent.
    channel.reply = [&](const Apdu::Bytes&) { return Answer(Apdu::Bytes(Apdu::kReadChunk + 1, 0), Apdu::SwOk); };
    EXPECT_EQ(card.ReadPublicImage(&image), CoreCardUnsupported);
    size_t reads = 0;
    channel.reply = [&](const Apdu::Bytes&) {
        ++reads;
        return Answer(Apdu::Bytes(Apdu::kReadChunk, 0), Apdu::SwOk);
    };
    EXPECT_EQ(card.ReadPublicImage(&image), CoreCardUnsupported);
    EXPECT_LE(reads, kCardImageMaxSize / Apdu::kReadChunk + 1);
    channel.reply = [&](const Apdu::Bytes&) {
        return Answer(Apdu::Bytes(bytes.begin(), bytes.begin() + 100), Apdu::SwEndOfFile);
    };
    EXPECT_EQ(card.ReadPublicImage(&image), CoreCardUnsupported);
    channel.reply = [&](const Apdu::Bytes&) { return Answer({}, Apdu::SwConditionsNotSatisfied); };
    EXPECT_NE(card.ReadPublicImage(&image), CoreOk);
}

TEST(RemoteCardTest, LongDataGoesAsAChainAndARefusedPartEndsIt) {
    ScriptedChannel channel;
    RemoteCard card(&channel);
    std::vector<unsigned char> content(3 * Apdu::kReadChunk + 10, 0x42);
    Apdu::TlvWriter id;
    id.AddU32(Apdu::TagRecord, 77);
    channel.script = {Answer({}, Apdu::SwOk), Answer({}, Apdu::SwOk), Answer({}, Apdu::SwOk),
                      Answer(id.Data(), Apdu::SwOk)};
    uint32_t record = 0;
    ASSERT_EQ(card.CreateDataFile("name", ContainerId_DATA, 0, content.data(), content.size(), &record), CoreOk);
    EXPECT_EQ(record, 77u);
    ASSERT_EQ(channel.sent.size(), 4u);
    Apdu::Bytes joined;
    for (size_t i = 0; i < channel.sent.size(); ++i) {
        Apdu::Command part = Parsed(channel.sent[i]);
        bool last = i + 1 == channel.sent.size();
        EXPECT_EQ(part.cla, last ? Apdu::ClaProprietary : Apdu::ClaProprietary | Apdu::ClaChaining);
        EXPECT_EQ(part.ins, Apdu::InsCreate);
        EXPECT_LE(part.data.size(), Apdu::kReadChunk);
        EXPECT_LE(channel.sent[i].size(), 0xFFFFu);  // fits a 2-byte frame
        joined.insert(joined.end(), part.data.begin(), part.data.end());
    }
    Apdu::TlvReader tlv;
    ASSERT_TRUE(tlv.Parse(joined));
    EXPECT_EQ(*tlv.Find(Apdu::TagContent), content);

    // Memory runs out at the second part: nothing more is sent, and the card's word counts.
    channel.sent.clear();
    channel.script = {Answer({}, Apdu::SwOk), Answer({}, Apdu::SwMemoryFull), Answer(id.Data(), Apdu::SwOk)};
    EXPECT_EQ(card.CreateDataFile("name", ContainerId_DATA, 0, content.data(), content.size(), &record),
              CoreCardMemoryFull);
    EXPECT_EQ(channel.sent.size(), 2u);
    // A part "done early" is no answer to a chain.
    channel.script = {Answer({}, Apdu::SwEndOfFile)};
    EXPECT_NE(card.CreateDataFile("name", ContainerId_DATA, 0, content.data(), content.size(), &record), CoreOk);
}

TEST(RemoteCardTest, StatusWordsBecomeCoreResultsAndMalformedAnswersAreErrors) {
    ScriptedChannel channel;
    RemoteCard card(&channel);
    const unsigned char pin[] = {'1', '2', '3', '4'};
    int tries = -1;
    channel.script = {Answer({}, 0x63C2)};
    EXPECT_EQ(card.Verify(CardAuthIdUser, pin, sizeof pin, &tries), CoreWrongPin);
    EXPECT_EQ(tries, 2);

    // Bad padding is invalid encrypted data; a refused MSE sends no PSO; an unknown word is an error.
    std::vector<unsigned char> out;
    const unsigned char block[128] = {1};
    channel.script = {Answer({}, Apdu::SwOk), Answer({}, Apdu::SwWrongData)};
    EXPECT_EQ(card.DecryptPkcs1(5, block, sizeof block, &out), CoreInvalidEncryptedData);
    channel.script = {Answer({}, Apdu::SwSecurityStatus)};
    EXPECT_EQ(card.SignPkcs1(5, block, 51, &out), CoreSecurityStatus);
    EXPECT_EQ(channel.sent.back()[1], Apdu::InsManageSecurityEnvironment);
    channel.script = {Answer({}, 0x6400)};
    EXPECT_EQ(card.Erase(true), CoreIoError);

    // Answers of the wrong size or form.
    channel.script = {Answer({}, Apdu::SwOk), Answer(Apdu::Bytes(513, 1), Apdu::SwOk)};
    EXPECT_EQ(card.SignPkcs1(5, block, 51, &out), CoreIoError);
    channel.script = {Answer({}, Apdu::SwOk), Answer({}, Apdu::SwOk)};
    EXPECT_EQ(card.SignPkcs1(5, block, 51, &out), CoreIoError);
    channel.script = {Answer({0x01}, Apdu::SwOk)};  // data to a command that expects none
    EXPECT_EQ(card.DeleteCertificate(3), CoreIoError);
    uint32_t priv = 0, pub = 0;
    const Apdu::Bytes onlyPrivate = Apdu::TlvWriter().AddU32(Apdu::TagPrivateKey, 9).Take();
    const Apdu::Bytes zeroPublic =
        Apdu::TlvWriter().AddU32(Apdu::TagPrivateKey, 9).AddU32(Apdu::TagPublicKey, 0).Take();
    for (const Apdu::Bytes& answer : {onlyPrivate, zeroPublic, Apdu::Bytes{0x89, 0x04, 0, 0, 0, 9, 0x8A, 0x04, 0}}) {
        channel.script = {Answer(answer, Apdu::SwOk)};
        EXPECT_EQ(card.GenerateKeyPair(1, 0x10, &priv, &pub), CoreIoError);
    }
}
