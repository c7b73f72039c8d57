// Slot listing, slot information and card-change detection through the C_ API.
#include <sys/wait.h>
#include <unistd.h>

#include "blackbox/slots/P11Fixture.h"

namespace vctest {
namespace {

using SlotList = P11Test;

TEST_F(SlotList, TwoReadersOneCardListsOneTokenSlotAndTwoSlots) {
    CK_SLOT_ID withCard = Card("Reader A");
    Env().ToolOk("reader-add 'Reader B'");

    std::vector<CK_SLOT_ID> tokens = Slots(true);
    ASSERT_EQ(tokens.size(), 1u);
    EXPECT_EQ(tokens[0], withCard);
    std::vector<CK_SLOT_ID> all = Slots(false);
    ASSERT_EQ(all.size(), 2u);
    EXPECT_NE(all[0], all[1]);

    CK_SLOT_ID empty = all[0] == withCard ? all[1] : all[0];
    CK_SLOT_INFO info;
    ASSERT_EQ(p11->C_GetSlotInfo(empty, &info), CKR_OK);
    EXPECT_EQ(info.flags, static_cast<CK_FLAGS>(CKF_REMOVABLE_DEVICE | CKF_HW_SLOT));
    ASSERT_EQ(p11->C_GetSlotInfo(withCard, &info), CKR_OK);
    EXPECT_EQ(info.flags, static_cast<CK_FLAGS>(CKF_REMOVABLE_DEVICE | CKF_HW_SLOT | CKF_TOKEN_PRESENT));
}

TEST_F(SlotList, CountQueryBufferTooSmallAndNullCount) {
    CK_ULONG count = 99;
    ASSERT_EQ(p11->C_GetSlotList(CK_FALSE, nullptr, &count), CKR_OK);
    EXPECT_EQ(count, 0u);

    Card("R1");
    Card("R2");
    ASSERT_EQ(p11->C_GetSlotList(CK_TRUE, nullptr, &count), CKR_OK);
    EXPECT_EQ(count, 2u);
    CK_SLOT_ID slots[2] = {0, 0};
    count = 1;
    EXPECT_EQ(p11->C_GetSlotList(CK_TRUE, slots, &count), CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(count, 2u);
    EXPECT_NE(slots[0], 0u);  // the slots that fit are stored
    EXPECT_EQ(slots[1], 0u);
    count = 2;
    EXPECT_EQ(p11->C_GetSlotList(CK_TRUE, slots, &count), CKR_OK);
    EXPECT_NE(slots[1], 0u);

    EXPECT_EQ(p11->C_GetSlotList(CK_FALSE, slots, nullptr), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(p11->C_GetSlotList(CK_TRUE, nullptr, nullptr), CKR_ARGUMENTS_BAD);
}

TEST_F(SlotList, SlotInfoArgumentsAndNotInitialised) {
    CK_SLOT_ID slot = Card("R");
    CK_SLOT_INFO info;
    EXPECT_EQ(p11->C_GetSlotInfo(0, &info), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(p11->C_GetSlotInfo(slot, nullptr), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(p11->C_GetSlotInfo(4000, &info), CKR_SLOT_ID_INVALID);

    ASSERT_EQ(p11->C_Finalize(nullptr), CKR_OK);
    CK_ULONG count = 77;
    EXPECT_EQ(p11->C_GetSlotList(CK_FALSE, nullptr, &count), CKR_CRYPTOKI_NOT_INITIALIZED);
    EXPECT_EQ(count, 77u);
    EXPECT_EQ(p11->C_GetSlotInfo(slot, &info), CKR_CRYPTOKI_NOT_INITIALIZED);
    CK_TOKEN_INFO token;
    EXPECT_EQ(p11->C_GetTokenInfo(slot, &token), CKR_CRYPTOKI_NOT_INITIALIZED);
    ASSERT_EQ(p11->C_Initialize(nullptr), CKR_OK);
}

TEST_F(SlotList, SlotInfoDescriptionIsBlankPaddedAndCut) {
    std::string longName = "Long" + std::string(66, 'x');  // 70 characters
    Card(longName);
    CK_SLOT_ID shortSlot = Card("Short Name");
    CK_SLOT_INFO info;
    ASSERT_EQ(p11->C_GetSlotInfo(shortSlot, &info), CKR_OK);
    EXPECT_EQ(Text(info.slotDescription, 64), Padded("Short Name", 64));
    int cut = 0;
    for (CK_SLOT_ID slot : Slots(true)) {
        ASSERT_EQ(p11->C_GetSlotInfo(slot, &info), CKR_OK);
        if (Text(info.slotDescription, 64) == longName.substr(0, 64)) ++cut;
    }
    EXPECT_EQ(cut, 1) << "no slot shows the first 64 characters of the long reader name";
}

TEST_F(SlotList, RemovedCardIsSweptByTheListing) {
    CK_SLOT_ID slot = Card("R");
    CK_SESSION_HANDLE session = Open(slot, false);
    Env().ToolOk("card-remove R " + Env().Path("removed.vcard"));

    Env().ClearLog();
    EXPECT_TRUE(Slots(true).empty());
    EXPECT_TRUE(LogHas("odstranena karta ze ctecky, mazu vsechny prislusne sessiony")) << Env().ReadLog();
    EXPECT_EQ(InfoRv(session), CKR_SESSION_HANDLE_INVALID);
    EXPECT_EQ(Slots(false).size(), 1u);  // the reader is still there
    CK_SLOT_INFO slotInfo;
    ASSERT_EQ(p11->C_GetSlotInfo(slot, &slotInfo), CKR_OK);
    EXPECT_EQ(slotInfo.flags & CKF_TOKEN_PRESENT, 0u);
    CK_TOKEN_INFO token;
    EXPECT_EQ(p11->C_GetTokenInfo(slot, &token), CKR_TOKEN_NOT_PRESENT);
}

TEST_F(SlotList, ChangedCardIsSweptByTheListing) {
    CK_SLOT_ID slot = Card("R");
    CK_SESSION_HANDLE first = Open(slot, false);
    CK_SESSION_HANDLE second = Open(slot, true);
    Env().ToolOk("card-remove R " + Env().Path("first.vcard"));
    Env().ToolOk("card-create " + Env().Path("other.vcard") + " --type 2 --user-pin 1111 --so-pin 22222222");
    Env().ToolOk("card-insert R " + Env().Path("other.vcard"));

    Env().ClearLog();
    ASSERT_EQ(Slots(true).size(), 1u);
    EXPECT_TRUE(LogHas("zmenena karta ve ctecce, mazu vsechny prislusne sessiony")) << Env().ReadLog();
    EXPECT_EQ(InfoRv(first), CKR_SESSION_HANDLE_INVALID);
    EXPECT_EQ(InfoRv(second), CKR_SESSION_HANDLE_INVALID);

    // Seen once: the next listing finds the card unchanged and new sessions work.
    Env().ClearLog();
    Slots(true);
    EXPECT_FALSE(LogHas("zmenena karta ve ctecce"));
    EXPECT_EQ(State(Open(slot, false)), static_cast<CK_STATE>(CKS_RO_PUBLIC_SESSION));
}

TEST_F(SlotList, ChangedOrRemovedCardFailsTheNextSessionCall) {
    CK_SLOT_ID slot = Card("R");
    CK_SESSION_HANDLE session = Open(slot, true);
    CK_SESSION_HANDLE other = Open(slot, false);
    ASSERT_EQ(Login(session, CKU_USER, "1234"), CKR_OK);
    // The same card taken out and put back counts as a new insertion.
    Reinsert("R", "same.vcard");
    EXPECT_EQ(Login(session, CKU_USER, "1234"), CKR_DEVICE_REMOVED);
    EXPECT_EQ(InfoRv(session), CKR_SESSION_HANDLE_INVALID);
    EXPECT_EQ(InfoRv(other), CKR_SESSION_HANDLE_INVALID);

    // The change was taken note of: the slot works again, logged out.
    CK_SESSION_HANDLE fresh = Open(slot, true);
    EXPECT_EQ(State(fresh), static_cast<CK_STATE>(CKS_RW_PUBLIC_SESSION));
    EXPECT_EQ(Login(fresh, CKU_USER, "1234"), CKR_OK);

    // A card gone for good: the check finds the reader empty.
    Env().ToolOk("card-remove R " + Env().Path("gone.vcard"));
    EXPECT_EQ(Login(fresh, CKU_USER, "1234"), CKR_TOKEN_NOT_PRESENT);
    EXPECT_EQ(InfoRv(fresh), CKR_SESSION_HANDLE_INVALID);
    CK_SESSION_HANDLE none = 0;
    EXPECT_EQ(p11->C_OpenSession(slot, CKF_SERIAL_SESSION, nullptr, nullptr, &none), CKR_TOKEN_NOT_PRESENT);
    EXPECT_EQ(p11->C_OpenSession(4000, CKF_SERIAL_SESSION, nullptr, nullptr, &none), CKR_SLOT_ID_INVALID);
}

TEST_F(SlotList, UnpluggedReaderIsNotListed) {
    CK_SLOT_ID slot = Card("R");
    CK_SESSION_HANDLE session = Open(slot, false);
    Env().ToolOk("reader-remove R");
    EXPECT_TRUE(Slots(false).empty());
    EXPECT_EQ(InfoRv(session), CKR_SESSION_HANDLE_INVALID);
    // The reader and its slot are gone; the reader comes back under a new slot.
    CK_SLOT_INFO info;
    EXPECT_EQ(p11->C_GetSlotInfo(slot, &info), CKR_SLOT_ID_INVALID);
    EXPECT_NE(Card("R"), slot);
}

TEST_F(SlotList, InvalidatingTheCacheClosesTheSessionsOfEverySlot) {
    CK_SESSION_HANDLE sa = Open(Card("A"), true);
    CK_SESSION_HANDLE sb = Open(Card("B"), false);
    auto listEx = reinterpret_cast<GetSlotListExFn>(Env().Symbol("C_GetSlotListEx"));
    ASSERT_NE(listEx, nullptr);
    CK_ULONG count = 0;
    ASSERT_EQ(listEx(CK_TRUE, nullptr, &count, CK_FALSE), CKR_OK);
    EXPECT_EQ(count, 2u);
    EXPECT_EQ(InfoRv(sa), CKR_OK);
    ASSERT_EQ(listEx(CK_TRUE, nullptr, &count, CK_TRUE), CKR_OK);
    EXPECT_EQ(count, 2u);
    EXPECT_EQ(InfoRv(sa), CKR_SESSION_HANDLE_INVALID);
    EXPECT_EQ(InfoRv(sb), CKR_SESSION_HANDLE_INVALID);
}

TEST_F(SlotList, ReaderCardPairHandOut) {
    CK_SLOT_ID slot = Card("R");
    auto getPair = reinterpret_cast<GetReaderCardPairFn>(Env().Symbol("C_GetReaderCardPair"));
    ASSERT_NE(getPair, nullptr);
    Env().ClearLog();
    EXPECT_EQ(getPair(slot, nullptr), CKR_ARGUMENTS_BAD);
    void* pair = nullptr;
    EXPECT_EQ(getPair(4000, &pair), CKR_SLOT_ID_INVALID);
    EXPECT_FALSE(LogHas("C_GetReaderCardPair"));

    // The pair is handed over locked and only its receiver can unlock it, so the
    // successful call is made in a child process.
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        void* handed = nullptr;
        ::_exit(getPair(slot, &handed) == CKR_OK && handed != nullptr ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

}  // namespace
}  // namespace vctest
