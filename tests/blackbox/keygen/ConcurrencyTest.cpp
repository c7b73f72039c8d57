// A key generation on one card holds nothing that other slots, slot listing or another
// process using the card need. The order of events is read from the log, where every line
// is one write: calls made after the generation started are to end before the card core
// reports the key made ("pripraven"). Were they blocked, they could end only after it.
#include <atomic>
#include <thread>

#include "KeygenSupport.h"

using namespace kgtest;

namespace {

// Position of the first occurrence of needle at or after from, npos when none.
size_t LogPosition(const std::string& needle, size_t from) {
    return TestEnv::Get().ReadLog().find(needle, from);
}

}  // namespace

TEST(GenerationConcurrency, CallsOnOtherSlotsAndTheCardGoOnWhileAKeyIsMade) {
    const TestEnv& env = TestEnv::Get();
    CK_SLOT_ID genSlot = FreshCard("cc-gen", 2);
    CK_SLOT_ID otherSlot = FreshCard("cc-other", 2);
    env.ToolOk("key-generate @cc-other --bits 1024 --usage sign --id 0c");
    vctest::WriteFile(env.Path("cc-data.bin"), "written during a generation");
    CK_SESSION_HANDLE genSession = UserSession(genSlot);
    CK_SESSION_HANDLE otherSession = UserSession(otherSlot);
    CK_OBJECT_HANDLE otherKey = vctest::OneObject(otherSession, CKO_PRIVATE_KEY, Bytes{0x0c});
    ASSERT_NE(otherKey, 0u);

    // A machine under load may finish a generation before the other calls end; that proves
    // nothing either way, so a few generations are tried.
    bool overlapped = false;
    for (int attempt = 0; attempt < 8 && !overlapped; ++attempt) {
        SCOPED_TRACE("attempt " + std::to_string(attempt));
        const size_t start = env.ReadLog().size();
        std::atomic<bool> done{false};
        CK_RV generated = CKR_GENERAL_ERROR;
        std::thread generation([&] {
            Template pub = PublicTemplate(2048, false, true), priv = PrivateTemplate(false, true);
            generated = Generate(genSession, pub, priv);
            done = true;
        });
        while (!done && LogPosition("PrepareKeyPair(): generuji klic RSA 2048", start) == std::string::npos)
            std::this_thread::yield();

        // Slot listing and the generating slot's token information take the pair of that
        // slot; the card tool takes the card's file lock; signing uses the other card.
        CK_ULONG count = 0;
        EXPECT_EQ(P11()->C_GetSlotList(CK_TRUE, nullptr, &count), CKR_OK);
        CK_TOKEN_INFO info;
        EXPECT_EQ(P11()->C_GetTokenInfo(genSlot, &info), CKR_OK);
        env.ToolOk("data-add @cc-gen --file '" + env.Path("cc-data.bin") + "' --label during-" +
                   std::to_string(attempt));
        CK_MECHANISM mechanism = {CKM_RSA_PKCS, nullptr, 0};
        unsigned char data[35] = {1, 2, 3};
        unsigned char signature[128];
        CK_ULONG length = sizeof signature;
        EXPECT_EQ(P11()->C_SignInit(otherSession, &mechanism, otherKey), CKR_OK);
        EXPECT_EQ(P11()->C_Sign(otherSession, data, sizeof data, signature, &length), CKR_OK);

        generation.join();
        EXPECT_EQ(generated, CKR_OK);
        size_t signed_ = LogPosition("Pkcs11Provider::C_Sign() => CKR_OK", start);
        size_t made = LogPosition("PrepareKeyPair(): klic RSA 2048 bitu pro ctecku cc-gen pripraven", start);
        ASSERT_NE(signed_, std::string::npos);
        ASSERT_NE(made, std::string::npos);
        overlapped = signed_ < made;
    }
    EXPECT_TRUE(overlapped) << "no call on another slot ended while a key was being made";

    // The data files written meanwhile are on the card beside the generated keys.
    std::string dump = Dump("cc-gen");
    EXPECT_NE(dump.find("during-0"), std::string::npos) << dump;
    P11()->C_CloseAllSessions(genSlot);
    P11()->C_CloseAllSessions(otherSlot);
}
