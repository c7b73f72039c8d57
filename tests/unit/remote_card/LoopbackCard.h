// A reader/card pair of the pcsc kind whose channel hands each command straight to a card
// application (CardApduServer) over a real virtual card made with the card tool: the
// module side and the card side of our APDU set, in one process.
#pragma once

#include <openssl/evp.h>
#include <openssl/rsa.h>

#include <memory>
#include <string>
#include <vector>

#include "core/CardApduServer.h"
#include "core/CardChannel.h"
#include "core/CardImage.h"
#include "core/RemoteCard.h"
#include "unit/core_card/CardTestUtil.h"
#include "unit/core_objects/OpensslHelpers.h"

namespace remotetest {

namespace Core = Vellumcrest::Core;
using coretest::Bytes;

class LoopbackChannel : public Core::CardChannel {
public:
    explicit LoopbackChannel(Core::CardApduServer* server) : server_(server) {}
    int Transmit(const Core::Apdu::Bytes& command, Core::Apdu::Response* response) override {
        ++commands;
        if (pulled) return Core::CoreCardNotPresent;
        Core::Apdu::Bytes raw = server_->Process(command.data(), command.size());
        return Core::Apdu::ParseResponse(raw.data(), raw.size(), response) ? Core::CoreOk : Core::CoreSCardError;
    }
    int BeginTransaction() override {
        ++depth;
        return pulled ? Core::CoreCardNotPresent : Core::CoreOk;
    }
    void EndTransaction() override { --depth; }
    unsigned long LastError() const override { return 0; }

    int commands = 0;
    int depth = 0;
    bool pulled = false;  // the card is out of the reader

private:
    Core::CardApduServer* server_;
};

class LoopbackTest : public cardtest::CardTest {
protected:
    // A card made with the card tool, served by a card application, and the module's pair
    // that reaches it through a channel.
    void Serve(const std::string& createArgs) {
        path_ = InsertNewCard("R1", createArgs);
        card_ = Core::ReaderCardPair::ForImage("Emu", path_);
        server_ = std::make_unique<Core::CardApduServer>(card_.get());
        auto channel = std::make_unique<LoopbackChannel>(server_.get());
        channel_ = channel.get();
        pair_ = Core::ReaderCardPair::ForChannel("Remote", std::move(channel));
        ASSERT_TRUE(pair_->IsSupportedCardPresent());
    }
    void TearDown() override {
        pair_.reset();
        server_.reset();
        card_.reset();
        CardTest::TearDown();
    }
    int LoginAs(int authId, const std::string& pin) { return Login(pair_.get(), authId, pin); }
    // A new key container and a key pair in it, made by the card (or imported from param, or the
    // prepared pair); the result of the step that failed.
    int MakeKeyPair(int flags, Core::CardPrivateKeyRecord** priv, Core::CardPublicKeyRecord** pub,
                    const Core::RsaParam* param = nullptr, Core::PreparedKeyPair* prepared = nullptr,
                    Core::CardContainerRecord** made = nullptr) {
        Core::CardContainerRecord* container = nullptr;
        int rc = pair_->CreateContainer(orvostd::OrvoStringW(), 0, Core::CardObjectTypeKeyContainer, &container, false);
        if (made != nullptr) *made = container;
        return rc != Core::CoreOk ? rc : pair_->GenerateKeyPair(container, flags, priv, pub, param, prepared);
    }
    const Core::CardInfo& Info() {
        const Core::CardInfo* info = pair_->GetCardInfo(false);
        EXPECT_NE(info, nullptr);
        static Core::CardInfo none = {};
        return info != nullptr ? *info : none;
    }
    // What the card itself holds now, read from its image file.
    std::unique_ptr<Core::CardImage> OnCard() {
        std::unique_ptr<Core::CardImage> image;
        Core::CardFileStamp stamp;
        EXPECT_EQ(Core::ReadCardImage(path_, &image, &stamp), Core::CoreOk);
        return image;
    }

    std::string path_;
    std::unique_ptr<Core::ReaderCardPair> card_;
    std::unique_ptr<Core::CardApduServer> server_;
    LoopbackChannel* channel_ = nullptr;
    std::unique_ptr<Core::ReaderCardPair> pair_;
};

inline coretest::Pkey PublicKeyOf(Core::ReaderCardPair* pair, const Core::CardPublicKeyRecord* record) {
    std::unique_ptr<Core::CardPublicKey> key(pair->GetCardPublicKey(record, false));
    if (!key) return nullptr;
    return coretest::Pkey(Core::CardCrypto::RsaPublicFromComponents(key->GetModulus(), key->GetExponent()).release());
}

using coretest::EncryptPkcs1;
using coretest::RsaParamOf;
using coretest::VerifiesPkcs1;

// SHA-256 DigestInfo of text.
inline Bytes DigestInfo(const std::string& text) {
    static const unsigned char prefix[] = {0x30, 0x31, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01,
                                           0x65, 0x03, 0x04, 0x02, 0x01, 0x05, 0x00, 0x04, 0x20};
    Bytes info(prefix, prefix + sizeof prefix);
    Bytes digest = coretest::Digest(EVP_sha256(), coretest::ToBytes(text));
    info.insert(info.end(), digest.begin(), digest.end());
    return info;
}

}  // namespace remotetest
