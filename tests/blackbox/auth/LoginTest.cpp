// Login state machine, logout, PIN blocking.
#include "blackbox/slots/P11Fixture.h"

namespace vctest {
namespace {

using LoginTest = P11Test;

TEST_F(LoginTest, UserLoginAndLogout) {
    CK_SLOT_ID slot = Card("R");
    CK_SESSION_HANDLE ro = Open(slot, false);
    CK_SESSION_HANDLE rw = Open(slot, true);
    ASSERT_EQ(Login(ro, CKU_USER, "1234"), CKR_OK);
    EXPECT_EQ(State(ro), static_cast<CK_STATE>(CKS_RO_USER_FUNCTIONS));
    EXPECT_EQ(State(rw), static_cast<CK_STATE>(CKS_RW_USER_FUNCTIONS));
    EXPECT_EQ(Login(rw, CKU_USER, "1234"), CKR_USER_ALREADY_LOGGED_IN);
    EXPECT_EQ(Login(rw, CKU_SO, "12345678"), CKR_USER_ANOTHER_ALREADY_LOGGED_IN);
    EXPECT_EQ(Login(rw, CKU_USER, "9999"), CKR_USER_ALREADY_LOGGED_IN);  // not sent to the card

    EXPECT_EQ(p11->C_Logout(rw), CKR_OK);
    EXPECT_EQ(State(ro), static_cast<CK_STATE>(CKS_RO_PUBLIC_SESSION));
    EXPECT_EQ(State(rw), static_cast<CK_STATE>(CKS_RW_PUBLIC_SESSION));
    EXPECT_EQ(p11->C_Logout(rw), CKR_OK);  // not logged in: ignored
    EXPECT_EQ(p11->C_Logout(0), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(p11->C_Logout(60000), CKR_SESSION_HANDLE_INVALID);
}

TEST_F(LoginTest, ArgumentAndStateChecks) {
    CK_SLOT_ID slot = Card("R");
    CK_SESSION_HANDLE session = Open(slot, true);
    EXPECT_EQ(Login(session, 3, "1234"), CKR_USER_TYPE_INVALID);
    EXPECT_EQ(Login(session, 7, "1234"), CKR_USER_TYPE_INVALID);
    EXPECT_EQ(Login(0, CKU_USER, "1234"), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(Login(60000, CKU_USER, "1234"), CKR_SESSION_HANDLE_INVALID);
    EXPECT_EQ(p11->C_Login(session, CKU_USER, nullptr, 4), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(Login(session, CKU_USER, ""), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(Login(session, CKU_SO, "1234"), CKR_PIN_INCORRECT);
    // A context-specific login needs a running signature, also after a user login.
    EXPECT_EQ(Login(session, CKU_CONTEXT_SPECIFIC, "1234"), CKR_OPERATION_NOT_INITIALIZED);
    EXPECT_EQ(State(session), static_cast<CK_STATE>(CKS_RW_PUBLIC_SESSION));
    ASSERT_EQ(Login(session, CKU_USER, "1234"), CKR_OK);
    EXPECT_EQ(Login(session, CKU_CONTEXT_SPECIFIC, "1234"), CKR_OPERATION_NOT_INITIALIZED);
    EXPECT_EQ(State(session), static_cast<CK_STATE>(CKS_RW_USER_FUNCTIONS));

    // A card without a user PIN.
    CK_SESSION_HANDLE noPin = Open(Card("S", 1, "", "", "12345678"), true);
    EXPECT_EQ(Login(noPin, CKU_USER, "1234"), CKR_USER_PIN_NOT_INITIALIZED);
    EXPECT_EQ(State(noPin), static_cast<CK_STATE>(CKS_RW_PUBLIC_SESSION));
}

TEST_F(LoginTest, SecurityOfficerAndReadOnlySessions) {
    CK_SLOT_ID slot = Card("R");
    CK_SESSION_HANDLE ro = Open(slot, false);
    CK_SESSION_HANDLE rw = Open(slot, true);
    // A read-only session in the public state keeps the SO out, even with a wrong PIN.
    EXPECT_EQ(Login(rw, CKU_SO, "12345678"), CKR_SESSION_READ_ONLY_EXISTS);
    EXPECT_EQ(Login(rw, CKU_SO, "00000000"), CKR_SESSION_READ_ONLY_EXISTS);
    ASSERT_EQ(p11->C_CloseSession(ro), CKR_OK);

    ASSERT_EQ(Login(rw, CKU_SO, "12345678"), CKR_OK);
    EXPECT_EQ(State(rw), static_cast<CK_STATE>(CKS_RW_SO_FUNCTIONS));
    EXPECT_EQ(Login(rw, CKU_SO, "12345678"), CKR_USER_ALREADY_LOGGED_IN);
    EXPECT_EQ(Login(rw, CKU_USER, "1234"), CKR_USER_ANOTHER_ALREADY_LOGGED_IN);
    EXPECT_EQ(Login(rw, CKU_CONTEXT_SPECIFIC, "1234"), CKR_USER_ANOTHER_ALREADY_LOGGED_IN);

    CK_SESSION_HANDLE refused = 0;
    EXPECT_EQ(p11->C_OpenSession(slot, CKF_SERIAL_SESSION, nullptr, nullptr, &refused),
              CKR_SESSION_READ_WRITE_SO_EXISTS);
    CK_SESSION_HANDLE second = Open(slot, true);
    EXPECT_EQ(State(second), static_cast<CK_STATE>(CKS_RW_SO_FUNCTIONS));

    ASSERT_EQ(p11->C_Logout(second), CKR_OK);
    CK_SESSION_HANDLE readOnly = Open(slot, false);
    EXPECT_EQ(State(readOnly), static_cast<CK_STATE>(CKS_RO_PUBLIC_SESSION));
}

TEST_F(LoginTest, WrongPinsBlockTheUserPinOnTheCard) {
    CK_SLOT_ID slot = Card("R", 1, "--user-tries 3");
    CK_SESSION_HANDLE session = Open(slot, true);
    const CK_FLAGS kUserFlags = CKF_USER_PIN_COUNT_LOW | CKF_USER_PIN_FINAL_TRY | CKF_USER_PIN_LOCKED;
    EXPECT_EQ(TokenFlags(slot) & kUserFlags, 0u);
    EXPECT_EQ(Login(session, CKU_USER, "0000"), CKR_PIN_INCORRECT);
    EXPECT_EQ(State(session), static_cast<CK_STATE>(CKS_RW_PUBLIC_SESSION));
    EXPECT_EQ(TokenFlags(slot) & kUserFlags, static_cast<CK_FLAGS>(CKF_USER_PIN_COUNT_LOW));

    // A right PIN restores the counter.
    ASSERT_EQ(Login(session, CKU_USER, "1234"), CKR_OK);
    ASSERT_EQ(p11->C_Logout(session), CKR_OK);
    EXPECT_EQ(TokenFlags(slot) & kUserFlags, 0u);

    EXPECT_EQ(Login(session, CKU_USER, "0000"), CKR_PIN_INCORRECT);
    EXPECT_EQ(Login(session, CKU_USER, "00000"), CKR_PIN_INCORRECT);
    EXPECT_EQ(TokenFlags(slot) & kUserFlags, static_cast<CK_FLAGS>(CKF_USER_PIN_COUNT_LOW | CKF_USER_PIN_FINAL_TRY));
    EXPECT_EQ(Login(session, CKU_USER, "000000"), CKR_PIN_INCORRECT);
    EXPECT_EQ(TokenFlags(slot) & kUserFlags, static_cast<CK_FLAGS>(CKF_USER_PIN_COUNT_LOW | CKF_USER_PIN_LOCKED));
    EXPECT_EQ(Login(session, CKU_USER, "1234"), CKR_PIN_LOCKED);
    EXPECT_EQ(State(session), static_cast<CK_STATE>(CKS_RW_PUBLIC_SESSION));
    // The SO PIN is not affected.
    EXPECT_EQ(TokenFlags(slot) & (CKF_SO_PIN_LOCKED | CKF_SO_PIN_COUNT_LOW), 0u);
}

TEST_F(LoginTest, RetryCounterIsKeptOnTheCard) {
    CK_SLOT_ID slot = Card("R", 1, "--user-tries 3");
    CK_SESSION_HANDLE session = Open(slot, true);
    EXPECT_EQ(Login(session, CKU_USER, "4321"), CKR_PIN_INCORRECT);
    EXPECT_EQ(Login(session, CKU_USER, "4321"), CKR_PIN_INCORRECT);

    // Another process sees the counter in the card image.
    std::string dump = Env().ToolOk("dump @R");
    EXPECT_NE(dump.find("user PIN: set, 1/3 tries"), std::string::npos) << dump;

    // Dropping every cached card image makes the module read the card afresh.
    auto listEx = reinterpret_cast<GetSlotListExFn>(Env().Symbol("C_GetSlotListEx"));
    CK_ULONG count = 0;
    ASSERT_EQ(listEx(CK_TRUE, nullptr, &count, CK_TRUE), CKR_OK);
    CK_FLAGS flags = TokenFlags(slot);
    EXPECT_NE(flags & CKF_USER_PIN_FINAL_TRY, 0u);
    EXPECT_EQ(flags & CKF_USER_PIN_LOCKED, 0u);

    // The card moved to another reader keeps its counter.
    Env().ToolOk("card-remove R " + Env().Path("moved.vcard"));
    Env().ToolOk("reader-add Other");
    Env().ToolOk("card-insert Other " + Env().Path("moved.vcard"));
    CK_SLOT_ID other = SlotOf("Other");
    ASSERT_NE(other, 0u);
    EXPECT_NE(TokenFlags(other) & CKF_USER_PIN_FINAL_TRY, 0u);
    CK_SESSION_HANDLE fresh = Open(other, true);
    EXPECT_EQ(Login(fresh, CKU_USER, "4321"), CKR_PIN_INCORRECT);
    EXPECT_NE(TokenFlags(other) & CKF_USER_PIN_LOCKED, 0u);
    EXPECT_EQ(Login(fresh, CKU_USER, "1234"), CKR_PIN_LOCKED);
    EXPECT_NE(Env().ToolOk("dump @Other").find("user PIN: set, 0/3 tries"), std::string::npos);
}

TEST_F(LoginTest, SoPinBlocksAfterItsTries) {
    CK_SLOT_ID slot = Card("R", 1, "--so-tries 5");
    CK_SESSION_HANDLE session = Open(slot, true);
    EXPECT_EQ(Login(session, CKU_SO, "87654321"), CKR_PIN_INCORRECT);
    // 4 left: below 5.
    EXPECT_EQ(TokenFlags(slot) & (CKF_SO_PIN_COUNT_LOW | CKF_SO_PIN_FINAL_TRY | CKF_USER_PIN_COUNT_LOW),
              static_cast<CK_FLAGS>(CKF_SO_PIN_COUNT_LOW));
    for (int i = 0; i < 3; ++i) EXPECT_EQ(Login(session, CKU_SO, "87654321"), CKR_PIN_INCORRECT);
    EXPECT_NE(TokenFlags(slot) & CKF_SO_PIN_FINAL_TRY, 0u);
    EXPECT_EQ(Login(session, CKU_SO, "87654321"), CKR_PIN_INCORRECT);
    EXPECT_NE(TokenFlags(slot) & CKF_SO_PIN_LOCKED, 0u);
    EXPECT_EQ(Login(session, CKU_SO, "12345678"), CKR_PIN_LOCKED);
    // The user PIN still works.
    EXPECT_EQ(Login(session, CKU_USER, "1234"), CKR_OK);
}

TEST_F(LoginTest, PinsNeverReachTheLog) {
    CK_SLOT_ID slot = Card("R", 1, "", "73914682", "58203716");
    CK_SESSION_HANDLE session = Open(slot, true);
    EXPECT_EQ(Login(session, CKU_USER, "11993377"), CKR_PIN_INCORRECT);
    ASSERT_EQ(Login(session, CKU_USER, "73914682"), CKR_OK);
    ASSERT_EQ(p11->C_Logout(session), CKR_OK);
    ASSERT_EQ(Login(session, CKU_SO, "58203716"), CKR_OK);
    const char* newPin = "64028173";
    ASSERT_EQ(p11->C_InitPIN(session, reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>(newPin)), 8), CKR_OK);
    std::string log = Env().ReadLog();
    ASSERT_FALSE(log.empty());
    for (const char* pin : {"73914682", "58203716", "11993377", "64028173"})
        EXPECT_EQ(log.find(pin), std::string::npos) << pin;
}

TEST_F(LoginTest, PseudoLoginWithoutPinPad) {
    CK_SLOT_ID slot = Card("R");
    CK_SESSION_HANDLE session = Open(slot, true);
    auto pseudoLogin = reinterpret_cast<PinPadPseudoLoginFn>(Env().Symbol("C_PINPadPseudoLogin"));
    ASSERT_NE(pseudoLogin, nullptr);
    EXPECT_EQ(pseudoLogin(0), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(pseudoLogin(60000), CKR_SESSION_HANDLE_INVALID);
    ASSERT_EQ(pseudoLogin(session), CKR_OK);
    EXPECT_EQ(State(session), static_cast<CK_STATE>(CKS_RW_USER_FUNCTIONS));
    EXPECT_EQ(pseudoLogin(session), CKR_USER_ALREADY_LOGGED_IN);
    ASSERT_EQ(p11->C_Logout(session), CKR_OK);
    ASSERT_EQ(Login(session, CKU_SO, "12345678"), CKR_OK);
    EXPECT_EQ(pseudoLogin(session), CKR_USER_ANOTHER_ALREADY_LOGGED_IN);
}

}  // namespace
}  // namespace vctest
