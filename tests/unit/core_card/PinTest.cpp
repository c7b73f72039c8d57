// Authentication codes on the card: retry counters after a restart, the KDF memo,
// setting, resetting and deactivating codes, the PIN cache.
#include <cstring>

#include "CardTestUtil.h"
#include "core/CardAuth.h"

using namespace Vellumcrest::Core;
using cardtest::CardTest;

namespace {

int init(ReaderCardPair* pair, int authId, const std::string& pin) {
    return pair->InitAuthCode(authId, reinterpret_cast<const unsigned char*>(pin.data()), pin.size());
}

int reset(ReaderCardPair* pair, int authId, const std::string& so, const char* pin) {
    return pair->ResetAuthCode(authId, reinterpret_cast<const unsigned char*>(so.data()), so.size(),
                               reinterpret_cast<const unsigned char*>(pin), pin != nullptr ? std::strlen(pin) : 0);
}

// A 1024-bit signature key in a new container; the record is returned.
CardPrivateKeyRecord* newKey(ReaderCardPair* pair, int flags = KeyPairFlagSign) {
    CardContainerRecord* container = nullptr;
    EXPECT_EQ(pair->CreateContainer(orvostd::OrvoStringW(), 0, CardObjectTypeKeyContainer, &container, false), CoreOk);
    CardPrivateKeyRecord* priv = nullptr;
    CardPublicKeyRecord* pub = nullptr;
    EXPECT_EQ(pair->GenerateKeyPair(container, flags, &priv, &pub, nullptr), CoreOk);
    return priv;
}

int sign(ReaderCardPair* pair, const CardPrivateKeyRecord* key) {
    unsigned char data[20] = {1, 2, 3};
    unsigned char signature[256];
    unsigned long length = sizeof signature;
    return pair->Sign(key, data, sizeof data, signature, &length);
}

}  // namespace

// Blocking through C_Login and the counter kept on the card are black-box tested; here the
// counter after a restart of the core and the SO reset of a blocked code.
TEST_F(CardTest, BlockedCodeAfterARestartIsResetByTheSo) {
    ReaderCardPair* pair = Card("--type 1 --user-pin 1234 --so-pin 12345678");
    EXPECT_EQ(Login(pair, 1, "9999"), CoreWrongPin);
    EXPECT_EQ(Login(pair, 1, "9998"), CoreWrongPin);
    ReaderCardPairList restarted;
    ASSERT_EQ(restarted.Update(false), CoreOk);
    pair = PairOf(restarted, "R1");
    EXPECT_EQ(pair->GetCardInfo(true)->userPinTriesLeft, 1);
    EXPECT_EQ(Login(pair, 1, "9997"), CoreWrongPin);
    EXPECT_EQ(pair->GetCardInfo(false)->userPinBlocked, 1);
    EXPECT_EQ(Login(pair, 1, "1234"), CorePinBlocked) << "blocked also for the right PIN";

    EXPECT_EQ(reset(pair, 1, "00000000", "4321"), CoreWrongPin);
    EXPECT_EQ(pair->GetCardInfo(false)->soPinTriesLeft, 4);
    EXPECT_EQ(reset(pair, 1, "12345678", "4321"), CoreOk);
    EXPECT_EQ(pair->GetCardInfo(false)->soPinTriesLeft, 5) << "a right PIN restores the tries";
    EXPECT_EQ(pair->GetCardInfo(false)->userPinTriesLeft, 3);
    EXPECT_EQ(Login(pair, 1, "1234"), CoreWrongPin);
    EXPECT_EQ(Login(pair, 1, "4321"), CoreOk);
}

TEST_F(CardTest, ImpossiblePinLengthsAndMissingCodes) {
    ReaderCardPair* pair = Card("--type 1 --user-pin 1234");
    EXPECT_EQ(Login(pair, 1, "123"), CoreWrongPin);
    EXPECT_EQ(Login(pair, 1, "1234567890123"), CoreWrongPin);
    EXPECT_EQ(pair->GetCardInfo(false)->userPinTriesLeft, 3) << "lengths the PIN cannot have use up no try";
    EXPECT_EQ(Login(pair, 2, "12345678"), CorePinNotInitialised);
    EXPECT_EQ(Login(pair, 3, "12345678"), CorePinNotInitialised);
    EXPECT_EQ(pair->Login(1, nullptr, 4), CoreInvalidArgument);
    EXPECT_EQ(pair->Login(7, reinterpret_cast<const unsigned char*>("1234"), 4), CoreInvalidArgument);
}

// The speed of a memo login is measured by the benchmark; here only what it may not change.
TEST_F(CardTest, RepeatedLoginsThroughTheMemoKeepTheCardsRules) {
    ReaderCardPair* pair = Card("--type 1 --user-pin 1234");
    CardAuth::ClearMemo();
    EXPECT_EQ(Login(pair, 1, "1234"), CoreOk);
    pair->Logout();
    EXPECT_EQ(Login(pair, 1, "1234"), CoreOk);
    pair->Logout();
    EXPECT_EQ(Login(pair, 1, "4321"), CoreWrongPin) << "a PIN that differs from the memo's is refused";

    // The signing path: Open, login from the cached PIN, sign, logout, close.
    CardPrivateKeyRecord* key = newKey(pair, KeyPairFlagSign | KeyPairFlag2048);
    ASSERT_NE(key, nullptr);
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(pair->Open(), CoreOk);
        EXPECT_EQ(Login(pair, 1, "1234"), CoreOk);
        EXPECT_EQ(sign(pair, key), CoreOk);
        pair->Logout();
        pair->Close();
    }
    EXPECT_NE(sign(pair, key), CoreOk) << "no signature after the logout";

    // A changed PIN (old PIN refused: black-box tested) still reaches the stored key.
    EXPECT_EQ(pair->ChangeAuthCode(1, reinterpret_cast<const unsigned char*>("1234"), 4,
                                   reinterpret_cast<const unsigned char*>("5678"), 4),
              CoreOk);
    EXPECT_EQ(Login(pair, 1, "5678"), CoreOk);
    EXPECT_EQ(sign(pair, key), CoreOk) << "the key stays usable with the changed PIN";
}

TEST_F(CardTest, TokenInitialisationSequence) {
    // The sequence of a re-initialisation: SO login, reset of the user PIN to the known
    // initial PIN, login with it, erase, deactivation of codes 1 and 3.
    ReaderCardPair* pair = Card("--type 4 --user-pin 1234 --so-pin 12345678 --third-code 5555");
    ToolOk("key-generate @R1 --bits 1024");
    EXPECT_EQ(pair->GetCardInfo(false)->authCode3ResetEnabled, 1);
    EXPECT_EQ(Login(pair, 3, "5555"), CoreOk);
    pair->Logout();

    ASSERT_EQ(pair->Open(), CoreOk);
    EXPECT_EQ(pair->EraseCard(true), CoreSecurityStatus) << "erasing needs a login";
    EXPECT_EQ(pair->DeactivateAuthCode(1), CoreSecurityStatus) << "deactivating needs the SO";
    ASSERT_EQ(Login(pair, 2, "12345678"), CoreOk);
    EXPECT_EQ(reset(pair, 1, "12345678", nullptr), CoreOk);
    EXPECT_EQ(reset(pair, 3, "12345678", nullptr), CoreOk);
    EXPECT_EQ(Login(pair, 1, "1234"), CoreWrongPin);
    ASSERT_EQ(Login(pair, 1, CardAuth::kInitialPin), CoreOk);
    EXPECT_EQ(pair->EraseCard(true), CoreOk);
    EXPECT_EQ(pair->DeactivateAuthCode(1), CoreOk);
    EXPECT_EQ(pair->DeactivateAuthCode(3), CoreOk);
    pair->Logout();
    pair->Close();

    const CardInfo* info = pair->GetCardInfo(true);
    EXPECT_EQ(info->tokenInitialized, 1);
    EXPECT_EQ(info->userPinInitialized, 0);
    EXPECT_TRUE(pair->GetPrivateKeyRecords().empty());
    EXPECT_EQ(Login(pair, 1, CardAuth::kInitialPin), CorePinNotInitialised);
    EXPECT_EQ(Login(pair, 3, "5555"), CorePinNotInitialised);

    // Then the SO sets a new user PIN (after an SO login that was logged out again).
    ASSERT_EQ(Login(pair, 2, "12345678"), CoreOk);
    pair->Logout();
    EXPECT_EQ(init(pair, 1, "2468"), CoreOk);
    EXPECT_EQ(pair->GetCardInfo(false)->userPinInitialized, 1);
    ASSERT_EQ(Login(pair, 1, "2468"), CoreOk);
    CardPrivateKeyRecord* key = newKey(pair);
    EXPECT_EQ(sign(pair, key), CoreOk);
}

TEST_F(CardTest, UserPinWithoutStorageAccessIsRefusedWhileKeysExist) {
    // Only the SO PIN holds the storage key; the tool stored a key on the card.
    ReaderCardPair* pair = Card("--type 1 --so-pin 12345678");
    ToolOk("key-generate @R1 --bits 1024");
    CardAuth::ClearMemo();
    EXPECT_EQ(Login(pair, 1, "1234"), CorePinNotInitialised);
    EXPECT_EQ(init(pair, 1, "1234"), CoreSecurityStatus) << "the new PIN could not reach the stored key";
    EXPECT_EQ(pair->GetCardInfo(false)->userPinInitialized, 0);

    ASSERT_EQ(Login(pair, 2, "12345678"), CoreOk);
    EXPECT_EQ(init(pair, 1, "123"), CoreInvalidArgument);
    EXPECT_EQ(init(pair, 1, "1234"), CoreOk);
    pair->Logout();
    ASSERT_EQ(Login(pair, 1, "1234"), CoreOk);
    std::vector<CardPrivateKeyRecord*> keys = pair->GetPrivateKeyRecords();
    ASSERT_EQ(keys.size(), 1u);
    EXPECT_EQ(sign(pair, keys[0]), CoreOk) << "the user reaches the key made before the PIN existed";
    EXPECT_EQ(init(pair, 1, "5678"), CoreSecurityStatus) << "a set PIN is changed by the SO only";
}

TEST_F(CardTest, CardWithoutPinsKeepsItsKeysReachable) {
    ReaderCardPair* pair = Card("--type 2");
    ToolOk("key-generate @R1 --bits 1024 --usage sign");
    CardAuth::ClearMemo();
    EXPECT_EQ(pair->GetCardInfo(false)->tokenInitialized, 0);
    EXPECT_EQ(init(pair, 2, "12345678"), CoreOk);
    EXPECT_EQ(init(pair, 2, "87654321"), CoreSecurityStatus);
    EXPECT_EQ(pair->GetCardInfo(false)->tokenInitialized, 1);
    EXPECT_EQ(init(pair, 1, "1234"), CoreOk);
    ASSERT_EQ(Login(pair, 1, "1234"), CoreOk);
    EXPECT_EQ(sign(pair, pair->GetPrivateKeyRecords().at(0)), CoreOk);
    // The storage key is no longer kept in the clear once a PIN holds it.
    std::vector<unsigned char> bytes = cardtest::ReadBytes(ReaderDir("R1") + "/card.vcard");
    std::unique_ptr<CardImage> image;
    ASSERT_EQ(CardImage::Parse(bytes.data(), bytes.size(), &image), CoreOk);
    EXPECT_TRUE(image->storageOpen.empty());
}

TEST_F(CardTest, PinCacheHoldsOnePin) {
    PinCache cache;
    unsigned char buffer[16];
    unsigned long length = sizeof buffer;
    EXPECT_EQ(cache.Read(buffer, &length), CoreNotFound);
    EXPECT_EQ(cache.Write(reinterpret_cast<const unsigned char*>("123456789012"), 12), CoreOk);
    length = 10;
    EXPECT_EQ(cache.Read(buffer, &length), CoreBufferTooSmall);
    EXPECT_EQ(length, 12u);
    length = sizeof buffer;
    EXPECT_EQ(cache.Read(buffer, &length), CoreOk);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), length), "123456789012");
    EXPECT_EQ(cache.Write(reinterpret_cast<const unsigned char*>("none"), 4), CoreOk);
    length = sizeof buffer;
    EXPECT_EQ(cache.Read(buffer, &length), CoreOk);
    EXPECT_EQ(length, 4u);
    EXPECT_EQ(cache.Read(buffer, nullptr), CoreInvalidArgument);
    EXPECT_EQ(cache.Write(nullptr, 4), CoreInvalidArgument);
    cache.Clear();
    length = sizeof buffer;
    EXPECT_EQ(cache.Read(buffer, &length), CoreNotFound);
}
