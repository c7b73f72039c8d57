// The slot calls see the reader as it is now, without a listing in between (applications such
// as NSS and p11-kit poll C_GetSlotInfo after a slot event), and readers that are gone leave
// the slot list.
#include <sys/stat.h>

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

}  // namespace
}  // namespace vctest
