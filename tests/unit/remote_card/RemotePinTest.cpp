// PINs of a card reached through a channel: the card checks and counts them, and the
// pair's image (which the token information comes from) follows every count.
#include "LoopbackCard.h"

using namespace remotetest;
using namespace Vellumcrest::Core;

namespace {

int change(ReaderCardPair* pair, int authId, const std::string& oldPin, const std::string& newPin) {
    return pair->ChangeAuthCode(authId, reinterpret_cast<const unsigned char*>(oldPin.data()), oldPin.size(),
                                reinterpret_cast<const unsigned char*>(newPin.data()), newPin.size());
}

int reset(ReaderCardPair* pair, int authId, const std::string& soPin, const std::string& newPin) {
    return pair->ResetAuthCode(authId, reinterpret_cast<const unsigned char*>(soPin.data()), soPin.size(),
                               newPin.empty() ? nullptr : reinterpret_cast<const unsigned char*>(newPin.data()),
                               newPin.size());
}

}  // namespace

TEST_F(LoopbackTest, WrongRightAndBlockedPinsAreCountedByTheCardAndShownByThePair) {
    Serve("--type 3 --user-pin 1234 --so-pin 87654321");
    ASSERT_EQ(pair_->Open(), CoreOk);
    EXPECT_EQ(Info().userPinTriesLeft, 3);

    EXPECT_EQ(LoginAs(1, "9999"), CoreWrongPin);
    EXPECT_EQ(Info().userPinTriesLeft, 2);
    EXPECT_EQ(OnCard()->Pin(1)->triesLeft, 2);
    EXPECT_EQ(LoginAs(1, "1234"), CoreOk);
    EXPECT_EQ(Info().userPinTriesLeft, 3) << "a right PIN restores the count on the card and in the pair";

    // A right PIN with a full count writes nothing: one command, no read of the image.
    int before = channel_->commands;
    EXPECT_EQ(LoginAs(1, "1234"), CoreOk);
    EXPECT_EQ(channel_->commands - before, 1);

    for (int i = 0; i < 3; ++i) EXPECT_NE(LoginAs(1, "0000"), CoreOk);
    EXPECT_EQ(Info().userPinBlocked, 1);
    EXPECT_EQ(LoginAs(1, "1234"), CorePinBlocked);

    // The security officer unblocks it with a new value, which the user then changes.
    EXPECT_EQ(reset(pair_.get(), 1, "11111111", "5555"), CoreWrongPin);
    EXPECT_EQ(Info().soPinTriesLeft, OnCard()->Pin(2)->triesLeft);
    EXPECT_EQ(reset(pair_.get(), 1, "87654321", "5555"), CoreOk);
    EXPECT_EQ(Info().userPinBlocked, 0);
    EXPECT_EQ(Info().userPinTriesLeft, 3);
    EXPECT_EQ(LoginAs(1, "5555"), CoreOk);
    EXPECT_EQ(change(pair_.get(), 1, "0000", "4321"), CoreWrongPin);
    EXPECT_EQ(Info().userPinTriesLeft, 2);
    EXPECT_EQ(change(pair_.get(), 1, "5555", "4321"), CoreOk);
    EXPECT_EQ(LoginAs(1, "5555"), CoreWrongPin);
    EXPECT_EQ(LoginAs(1, "4321"), CoreOk);
    pair_->Close();

    // Without the SO the user PIN cannot be dropped; with it, it is, and is set anew.
    ASSERT_EQ(pair_->Open(), CoreOk);
    EXPECT_EQ(pair_->DeactivateAuthCode(1), CoreSecurityStatus);
    EXPECT_EQ(LoginAs(2, "87654321"), CoreOk);
    EXPECT_EQ(pair_->DeactivateAuthCode(1), CoreOk);
    EXPECT_EQ(Info().userPinInitialized, 0);
    EXPECT_EQ(LoginAs(1, "4321"), CorePinNotInitialised);
    const std::string fresh = "2468";
    EXPECT_EQ(pair_->InitAuthCode(1, reinterpret_cast<const unsigned char*>(fresh.data()), fresh.size()), CoreOk);
    EXPECT_EQ(Info().userPinInitialized, 1);
    EXPECT_EQ(LoginAs(1, fresh), CoreOk);
    pair_->Close();
    EXPECT_EQ(channel_->depth, 0) << "every transaction was ended";
}

TEST_F(LoopbackTest, ThePinsOfAnOpenSpanAreForgottenByTheCardAtLogoutAndClose) {
    Serve("--type 1 --user-pin 1234");
    ASSERT_EQ(pair_->Open(), CoreOk);
    CardPrivateKeyRecord* priv = nullptr;
    CardPublicKeyRecord* pub = nullptr;
    ASSERT_EQ(MakeKeyPair(KeyPairFlagSign, &priv, &pub), CoreOk);
    const uint32_t keyId = priv->recordId;
    Bytes data = DigestInfo("logout");
    unsigned char signature[128];
    unsigned long length = sizeof signature;
    EXPECT_EQ(pair_->Sign(priv, data.data(), data.size(), signature, &length), CoreSecurityStatus);
    ASSERT_EQ(LoginAs(1, "1234"), CoreOk);
    length = sizeof signature;
    EXPECT_EQ(pair_->Sign(priv, data.data(), data.size(), signature, &length), CoreOk);
    pair_->Logout();
    length = sizeof signature;
    EXPECT_EQ(pair_->Sign(priv, data.data(), data.size(), signature, &length), CoreSecurityStatus);
    ASSERT_EQ(LoginAs(1, "1234"), CoreOk);
    pair_->Close();

    // The card itself was told: a command sent without the pair's login state is refused.
    ASSERT_EQ(pair_->Open(), CoreOk);
    std::vector<unsigned char> out;
    LoopbackChannel raw(server_.get());
    RemoteCard card(&raw);
    EXPECT_EQ(card.SignPkcs1(keyId, data.data(), data.size(), &out), CoreSecurityStatus);
    pair_->Close();
}
