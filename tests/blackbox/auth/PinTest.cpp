// C_InitPIN, C_SetPIN and C_InitToken.
#include "blackbox/slots/P11Fixture.h"

namespace vctest {
namespace {

class Pins : public P11Test {
protected:
    CK_RV InitPin(CK_SESSION_HANDLE session, const std::string& pin) {
        return p11->C_InitPIN(session, Bytes(pin), pin.size());
    }
    CK_RV SetPin(CK_SESSION_HANDLE session, const std::string& oldPin, const std::string& newPin) {
        return p11->C_SetPIN(session, Bytes(oldPin), oldPin.size(), Bytes(newPin), newPin.size());
    }
    CK_RV InitToken(CK_SLOT_ID slot, const std::string& soPin) {
        CK_UTF8CHAR label[32];
        std::memset(label, ' ', sizeof label);
        std::memcpy(label, "x", 1);
        return p11->C_InitToken(slot, Bytes(soPin), soPin.size(), label);
    }
    static CK_UTF8CHAR_PTR Bytes(const std::string& text) {
        return reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>(text.data()));
    }
    // The SO logs in on a fresh session, sets the user PIN and closes the session again.
    void SoInitPin(CK_SLOT_ID slot, const std::string& soPin, const std::string& userPin) {
        CK_SESSION_HANDLE session = Open(slot, true);
        ASSERT_EQ(Login(session, CKU_SO, soPin), CKR_OK);
        ASSERT_EQ(InitPin(session, userPin), CKR_OK);
        ASSERT_EQ(p11->C_CloseSession(session), CKR_OK);
    }
    // Logs in on a fresh read-write session and closes it again.
    CK_RV TryLogin(CK_SLOT_ID slot, CK_USER_TYPE type, const std::string& pin) {
        CK_SESSION_HANDLE session = Open(slot, true);
        CK_RV rv = Login(session, type, pin);
        p11->C_CloseSession(session);
        return rv;
    }
};

TEST_F(Pins, InitPinNeedsTheSecurityOfficer) {
    CK_SLOT_ID slot = Card("R");
    CK_SESSION_HANDLE session = Open(slot, true);
    EXPECT_EQ(InitPin(session, "5678"), CKR_USER_NOT_LOGGED_IN);
    ASSERT_EQ(Login(session, CKU_USER, "1234"), CKR_OK);
    EXPECT_EQ(InitPin(session, "5678"), CKR_USER_NOT_LOGGED_IN);

    EXPECT_EQ(p11->C_InitPIN(0, Bytes("5678"), 4), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(p11->C_InitPIN(session, nullptr, 4), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(p11->C_InitPIN(session, Bytes("5678"), 0), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(InitPin(60000, "5678"), CKR_SESSION_HANDLE_INVALID);
}

TEST_F(Pins, InitPinLengthRange) {
    CK_SLOT_ID slot = Card("R");
    CK_SESSION_HANDLE session = Open(slot, true);
    ASSERT_EQ(Login(session, CKU_SO, "12345678"), CKR_OK);
    EXPECT_EQ(InitPin(session, "123"), CKR_PIN_LEN_RANGE);
    EXPECT_EQ(InitPin(session, "1234567890123"), CKR_PIN_LEN_RANGE);
    EXPECT_EQ(InitPin(session, "123456789012"), CKR_OK);
    EXPECT_EQ(State(session), static_cast<CK_STATE>(CKS_RW_SO_FUNCTIONS));
    EXPECT_EQ(InitPin(session, "4444"), CKR_OK);
    ASSERT_EQ(p11->C_Logout(session), CKR_OK);
    EXPECT_EQ(Login(session, CKU_USER, "123456789012"), CKR_PIN_INCORRECT);
    EXPECT_EQ(Login(session, CKU_USER, "4444"), CKR_OK);
}

TEST_F(Pins, InitPinUnblocksABlockedUserPin) {
    CK_SLOT_ID slot = Card("R", 1, "--user-tries 1");
    EXPECT_EQ(TryLogin(slot, CKU_USER, "0000"), CKR_PIN_INCORRECT);
    EXPECT_NE(TokenFlags(slot) & CKF_USER_PIN_LOCKED, 0u);
    SoInitPin(slot, "12345678", "24680");
    EXPECT_EQ(TokenFlags(slot) & CKF_USER_PIN_LOCKED, 0u);
    EXPECT_EQ(TryLogin(slot, CKU_USER, "24680"), CKR_OK);

    // A 12-byte SO PIN works as well.
    slot = Card("S", 1, "", "1234", "ABCDEFGHIJKL");
    SoInitPin(slot, "ABCDEFGHIJKL", "97531");
    EXPECT_EQ(TryLogin(slot, CKU_USER, "97531"), CKR_OK);
}

TEST_F(Pins, SetPinChangesTheUserPin) {
    CK_SLOT_ID slot = Card("R");
    CK_SESSION_HANDLE ro = Open(slot, false);
    EXPECT_EQ(SetPin(ro, "1234", "5678"), CKR_SESSION_READ_ONLY);
    ASSERT_EQ(Login(ro, CKU_USER, "1234"), CKR_OK);
    EXPECT_EQ(SetPin(ro, "1234", "5678"), CKR_SESSION_READ_ONLY);
    ASSERT_EQ(p11->C_CloseSession(ro), CKR_OK);

    CK_SESSION_HANDLE rw = Open(slot, true);
    EXPECT_EQ(SetPin(rw, "1234", "567"), CKR_PIN_LEN_RANGE);
    EXPECT_EQ(SetPin(rw, "1234", "1234567890123"), CKR_PIN_LEN_RANGE);
    EXPECT_EQ(p11->C_SetPIN(rw, nullptr, 4, Bytes("5678"), 4), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(p11->C_SetPIN(rw, Bytes("1234"), 0, Bytes("5678"), 4), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(p11->C_SetPIN(0, Bytes("1234"), 4, Bytes("5678"), 4), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(SetPin(rw, "9999", "5678"), CKR_PIN_INCORRECT);
    EXPECT_NE(TokenFlags(slot) & CKF_USER_PIN_COUNT_LOW, 0u);

    // A public read-write session changes the user PIN.
    ASSERT_EQ(SetPin(rw, "1234", "567890123456"), CKR_OK);
    EXPECT_EQ(State(rw), static_cast<CK_STATE>(CKS_RW_PUBLIC_SESSION));
    EXPECT_EQ(Login(rw, CKU_USER, "1234"), CKR_PIN_INCORRECT);
    ASSERT_EQ(Login(rw, CKU_USER, "567890123456"), CKR_OK);
    // ... and so does a user session.
    EXPECT_EQ(SetPin(rw, "567890123456", "8642"), CKR_OK);
    EXPECT_EQ(State(rw), static_cast<CK_STATE>(CKS_RW_USER_FUNCTIONS));
    ASSERT_EQ(p11->C_CloseSession(rw), CKR_OK);
    EXPECT_EQ(TryLogin(slot, CKU_USER, "8642"), CKR_OK);
}

TEST_F(Pins, SetPinInTheSoStateChangesTheSoPin) {
    CK_SLOT_ID slot = Card("R");
    CK_SESSION_HANDLE session = Open(slot, true);
    ASSERT_EQ(Login(session, CKU_SO, "12345678"), CKR_OK);
    EXPECT_EQ(SetPin(session, "1234", "11112222"), CKR_PIN_INCORRECT);  // the user PIN is not the SO PIN
    ASSERT_EQ(SetPin(session, "12345678", "11112222"), CKR_OK);
    ASSERT_EQ(p11->C_CloseSession(session), CKR_OK);
    EXPECT_EQ(TryLogin(slot, CKU_SO, "11112222"), CKR_OK);
    EXPECT_EQ(TryLogin(slot, CKU_USER, "1234"), CKR_OK);
}

TEST_F(Pins, InitTokenChecks) {
    CK_SLOT_ID slot = Card("R");
    EXPECT_EQ(InitToken(slot, "123"), CKR_PIN_LEN_RANGE);
    EXPECT_EQ(InitToken(slot, "1234567890123"), CKR_PIN_LEN_RANGE);
    EXPECT_EQ(p11->C_InitToken(slot, nullptr, 8, nullptr), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(p11->C_InitToken(0, Bytes("12345678"), 8, nullptr), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(InitToken(4000, "12345678"), CKR_SLOT_ID_INVALID);

    CK_SESSION_HANDLE session = Open(slot, false);
    EXPECT_EQ(InitToken(slot, "12345678"), CKR_SESSION_EXISTS);
    ASSERT_EQ(p11->C_CloseSession(session), CKR_OK);

    // A wrong SO PIN erases nothing and counts as a wrong try.
    Env().ToolOk("key-generate @R --bits 1024 --label keep");
    EXPECT_EQ(InitToken(slot, "87654321"), CKR_PIN_INCORRECT);
    EXPECT_NE(TokenFlags(slot) & CKF_SO_PIN_COUNT_LOW, 0u);
    EXPECT_NE(Env().ToolOk("dump @R").find("keep"), std::string::npos);
    EXPECT_EQ(TryLogin(slot, CKU_USER, "1234"), CKR_OK);
}

// A blocked user PIN and a third code are reset; an erased card can be initialised again.
TEST_F(Pins, InitTokenResetsBlockedPinAndThirdCode) {
    struct {
        const char* options;
        const char* wrongPin;
    } cases[] = {{"--user-tries 1", "0000"}, {"--third-code 99887766", nullptr}};
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.options);
        CK_SLOT_ID slot = Card("R" + std::to_string(n++), 1, c.options);
        if (c.wrongPin != nullptr) {
            EXPECT_EQ(TryLogin(slot, CKU_USER, c.wrongPin), CKR_PIN_INCORRECT);
            ASSERT_NE(TokenFlags(slot) & CKF_USER_PIN_LOCKED, 0u);
        }
        ASSERT_EQ(InitToken(slot, "12345678"), CKR_OK);
        EXPECT_EQ(TokenFlags(slot) & (CKF_USER_PIN_LOCKED | CKF_USER_PIN_INITIALIZED), 0u);
        ASSERT_EQ(InitToken(slot, "12345678"), CKR_OK);
    }
}

}  // namespace
}  // namespace vctest
