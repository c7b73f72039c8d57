// The slot calls see the reader as it is now, without a listing in between (applications such
// as NSS and p11-kit poll C_GetSlotInfo after a slot event), and readers that are gone leave
// the slot list.
#include <sys/stat.h>

#include <atomic>
#include <future>
#include <thread>

#include "blackbox/slots/P11Fixture.h"

namespace vctest {
namespace {

const std::string kFirstId = "00000000000000001111111111111111";
const std::string kSecondId = "00000000000000002222222222222222";

class SlotState : public P11Test {
protected:
    bool TokenPresent(CK_SLOT_ID slot) {
        CK_SLOT_INFO info;
        EXPECT_EQ(p11->C_GetSlotInfo(slot, &info), CKR_OK);
        return (info.flags & CKF_TOKEN_PRESENT) != 0;
    }

    CK_RV TokenLabel(CK_SLOT_ID slot, std::string* label) {
        CK_TOKEN_INFO info;
        CK_RV rv = p11->C_GetTokenInfo(slot, &info);
        if (rv == CKR_OK) *label = Text(info.label, 16) + "/" + Text(info.serialNumber, 16);
        return rv;
    }

    CK_RV OpenRv(CK_SLOT_ID slot, CK_SESSION_HANDLE* session) {
        return p11->C_OpenSession(slot, CKF_SERIAL_SESSION, nullptr, nullptr, session);
    }

    void WriteReaderConf(const std::string& directory, const std::string& name) {
        ::mkdir(directory.c_str(), 0700);
        WriteFile(directory + "/reader.conf.new", "name=" + name + "\npinpad=0\n");
        ASSERT_EQ(::rename((directory + "/reader.conf.new").c_str(), (directory + "/reader.conf").c_str()), 0);
    }
};

// Pull, re-insert and swap, with no C_GetSlotList after the first: every call sees the card
// of the moment; sessions of the old card go at the next call on them, not before.
TEST_F(SlotState, PresenceAndTokenFollowTheReaderWithoutAListing) {
    CK_SLOT_ID slot = Card("R", 1, "--id " + kFirstId);
    const std::string first = Env().Path("first.vcard");
    const std::string second = Env().Path("second.vcard");
    Env().ToolOk("card-create " + second + " --type 2 --id " + kSecondId + " --user-pin 1111 --so-pin 22222222");
    std::string label;
    ASSERT_EQ(TokenLabel(slot, &label), CKR_OK);
    EXPECT_EQ(label, "1111111111111111/1111111111111111");

    // Pulled.
    Env().ToolOk("card-remove R " + first);
    EXPECT_FALSE(TokenPresent(slot));
    EXPECT_EQ(TokenLabel(slot, &label), CKR_TOKEN_NOT_PRESENT);
    CK_SESSION_HANDLE session = 0;
    EXPECT_EQ(OpenRv(slot, &session), CKR_TOKEN_NOT_PRESENT);

    // Put back: a session opens at once.
    Env().ToolOk("card-insert R " + first);
    EXPECT_TRUE(TokenPresent(slot));
    EXPECT_EQ(TokenLabel(slot, &label), CKR_OK);
    ASSERT_EQ(OpenRv(slot, &session), CKR_OK);
    ASSERT_EQ(Login(session, CKU_USER, "1234"), CKR_OK);

    // Swapped under an open, logged-in session.
    Env().ToolOk("card-remove R " + Env().Path("first-again.vcard"));
    Env().ToolOk("card-insert R " + second);
    EXPECT_TRUE(TokenPresent(slot));
    ASSERT_EQ(TokenLabel(slot, &label), CKR_OK);
    EXPECT_EQ(label, "2222222222222222/2222222222222222");
    EXPECT_EQ(InfoRv(session), CKR_OK) << "only a listing or a call that checks the card closes sessions";
    EXPECT_EQ(p11->C_FindObjectsInit(session, nullptr, 0), CKR_DEVICE_REMOVED);
    EXPECT_EQ(InfoRv(session), CKR_SESSION_HANDLE_INVALID);
    // The new card starts logged out, and the old PIN is not offered to it.
    ASSERT_EQ(OpenRv(slot, &session), CKR_OK);
    EXPECT_EQ(State(session), static_cast<CK_STATE>(CKS_RO_PUBLIC_SESSION));
    EXPECT_EQ(Login(session, CKU_USER, "1111"), CKR_OK);

    // The listing that finally comes finds nothing left to sweep.
    Env().ClearLog();
    EXPECT_EQ(Slots(true), std::vector<CK_SLOT_ID>{slot});
    EXPECT_FALSE(LogHas("zmenena karta"));
    EXPECT_EQ(InfoRv(session), CKR_OK);
}

// Readers renamed over and over: each name that is gone leaves the list, the slot of a
// reader that stays keeps its ID and its session, and a listing no longer walks the old ones.
TEST_F(SlotState, VanishedReadersLeaveTheListAndStayingOnesKeepTheirSlot) {
    CK_SLOT_ID kept = Card("Kept");
    CK_SESSION_HANDLE session = Open(kept, false);
    const std::string directory = Env().ReadersDir() + "/renamed";
    std::vector<CK_SLOT_ID> renamed;
    for (int i = 0; i < 300; ++i) {
        WriteReaderConf(directory, "Renamed " + std::to_string(i));
        std::vector<CK_SLOT_ID> slots = Slots(false);
        ASSERT_EQ(slots.size(), 2u) << "round " << i;
        renamed.push_back(slots[0] == kept ? slots[1] : slots[0]);
    }
    EXPECT_EQ(SlotOf("Kept"), kept);
    EXPECT_EQ(InfoRv(session), CKR_OK);
    CK_SLOT_INFO info;
    for (size_t i = 0; i + 1 < renamed.size(); ++i)
        ASSERT_EQ(p11->C_GetSlotInfo(renamed[i], &info), CKR_SLOT_ID_INVALID) << "round " << i;

    Env().ClearLog();
    Slots(false);
    EXPECT_FALSE(LogHas("ctecka odpojena")) << "the listing still walks readers that are gone";
    EXPECT_EQ(InfoRv(session), CKR_OK);
}


// Threads list, poll and open sessions while a card comes and goes and a reader is renamed
// again and again: every answer is one that the state of the moment allows, nothing hangs.
TEST_F(SlotState, ThreadsPollWhileCardsAndReadersChange) {
    CK_SLOT_ID slot = Card("CardReader");
    const std::string image = Env().ReadersDir() + "/CardReader/card.vcard";
    const std::string pulled = Env().Path("pulled.vcard");
    const std::string renamed = Env().ReadersDir() + "/renamed";

    std::atomic<bool> stop{false};
    std::atomic<int> unexpected{0};
    std::atomic<CK_RV> lastUnexpected{CKR_OK};
    std::atomic<const char*> lastCall{""};
    auto check = [&](const char* call, CK_RV rv, std::initializer_list<CK_RV> allowed) {
        for (CK_RV ok : allowed)
            if (rv == ok) return;
        ++unexpected;
        lastUnexpected = rv;
        lastCall = call;
    };
    auto loop = [&](std::function<void()> round) {
        return std::async(std::launch::async, [&stop, round] {
            while (!stop) round();
        });
    };
    std::vector<std::future<void>> workers;
    struct StopAtEnd {  // also when an assertion ends the test early
        std::atomic<bool>& stop;
        ~StopAtEnd() { stop = true; }
    } stopAtEnd{stop};
    workers.push_back(loop([&] {
        CK_SLOT_ID slots[16];
        CK_ULONG count = 16;
        check("C_GetSlotList", p11->C_GetSlotList(CK_FALSE, slots, &count), {CKR_OK});
        for (CK_ULONG i = 0; i < count && i < 16; ++i) {
            CK_SLOT_INFO info;
            check("C_GetSlotInfo", p11->C_GetSlotInfo(slots[i], &info), {CKR_OK, CKR_SLOT_ID_INVALID});
        }
    }));
    workers.push_back(loop([&] {
        CK_TOKEN_INFO token;
        check("C_GetTokenInfo", p11->C_GetTokenInfo(slot, &token), {CKR_OK, CKR_TOKEN_NOT_PRESENT});
        CK_SESSION_HANDLE session = 0;
        CK_RV rv = p11->C_OpenSession(slot, CKF_SERIAL_SESSION, nullptr, nullptr, &session);
        check("C_OpenSession", rv, {CKR_OK, CKR_TOKEN_NOT_PRESENT});
        if (rv != CKR_OK) return;
        check("C_FindObjectsInit", p11->C_FindObjectsInit(session, nullptr, 0),
              // CKR_FUNCTION_FAILED: the card went while its objects were being read.
              {CKR_OK, CKR_TOKEN_NOT_PRESENT, CKR_DEVICE_REMOVED, CKR_SESSION_HANDLE_INVALID, CKR_FUNCTION_FAILED});
        check("C_CloseSession", p11->C_CloseSession(session), {CKR_OK, CKR_SESSION_HANDLE_INVALID});
    }));
    for (int round = 0; round < 150; ++round) {
        ASSERT_EQ(::rename(image.c_str(), pulled.c_str()), 0);
        WriteReaderConf(renamed, "Renamed " + std::to_string(round));
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        ASSERT_EQ(::rename(pulled.c_str(), image.c_str()), 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    stop = true;
    for (auto& worker : workers)
        ASSERT_EQ(worker.wait_for(std::chrono::seconds(60)), std::future_status::ready) << "a call hangs";
    EXPECT_EQ(unexpected.load(), 0) << "last: " << lastCall.load() << " 0x" << std::hex << lastUnexpected.load();
    EXPECT_EQ(Slots(false).size(), 2u);
    EXPECT_EQ(SlotOf("CardReader"), slot);
    EXPECT_TRUE(TokenPresent(slot));
}

}  // namespace
}  // namespace vctest
