// Protected authentication path: readers with a PIN pad, with the configuration switch on.
#include "blackbox/slots/P11Fixture.h"

extern "C" const char* VcTestExtraConfig() { return "[Pkcs11]\nProtectAuthPath=1\n"; }

namespace vctest {
namespace {

class PinPad : public P11Test {
protected:
    // A PIN-pad reader whose pad enters padPin ("" for a pad that enters nothing).
    CK_SLOT_ID PadCard(const std::string& reader, const std::string& padPin, const std::string& userPin = "1234") {
        std::string options = " --pinpad";
        if (!padPin.empty()) options += " --pinpad-pin " + padPin;
        Env().ToolOk("reader-add '" + reader + "'" + options);
        std::string image = Env().Path(reader + ".vcard");
        Env().ToolOk("card-create '" + image + "' --type 3 --user-pin " + userPin + " --so-pin 12345678");
        Env().ToolOk("card-insert '" + reader + "' '" + image + "'");
        CK_SLOT_ID slot = SlotOf(reader);
        EXPECT_NE(slot, 0u);
        return slot;
    }
};

TEST_F(PinPad, TokenShowsTheProtectedPathOnlyForAPadReader) {
    CK_SLOT_ID pad = PadCard("Pad", "1234");
    CK_SLOT_ID plain = Card("Plain");

    Env().ClearLog();
    EXPECT_NE(TokenFlags(pad) & CKF_PROTECTED_AUTHENTICATION_PATH, 0u);
    std::string log = Env().ReadLog();
    size_t line = log.find("    Set flag CKF_PROTECTED_AUTHENTICATION_PATH");
    ASSERT_NE(line, std::string::npos) << log;
    EXPECT_LT(line, log.find("Pkcs11Provider::C_GetTokenInfo() => CKR_OK"));

    Env().ClearLog();
    EXPECT_EQ(TokenFlags(plain) & CKF_PROTECTED_AUTHENTICATION_PATH, 0u);
    EXPECT_FALSE(LogHas("Set flag CKF_PROTECTED_AUTHENTICATION_PATH"));
}

TEST_F(PinPad, UserLoginTakesThePinFromThePad) {
    CK_SLOT_ID slot = PadCard("Pad", "1234");
    CK_SESSION_HANDLE session = Open(slot, false);
    Env().ClearLog();
    ASSERT_EQ(p11->C_Login(session, CKU_USER, nullptr, 0), CKR_OK);
    EXPECT_TRUE(LogHas("    Apply flag CKF_PROTECTED_AUTHENTICATION_PATH"));
    EXPECT_EQ(State(session), static_cast<CK_STATE>(CKS_RO_USER_FUNCTIONS));
    ASSERT_EQ(p11->C_Logout(session), CKR_OK);

    // A PIN given by the application is replaced by the pad's.
    EXPECT_EQ(Login(session, CKU_USER, "0000"), CKR_OK);
    ASSERT_EQ(p11->C_Logout(session), CKR_OK);
    EXPECT_EQ(TokenFlags(slot) & CKF_USER_PIN_COUNT_LOW, 0u);
}

TEST_F(PinPad, WrongPinOnThePad) {
    CK_SLOT_ID slot = PadCard("Pad", "9999");
    CK_SESSION_HANDLE session = Open(slot, false);
    EXPECT_EQ(p11->C_Login(session, CKU_USER, nullptr, 0), CKR_PIN_INCORRECT);
    EXPECT_EQ(State(session), static_cast<CK_STATE>(CKS_RO_PUBLIC_SESSION));
    EXPECT_NE(TokenFlags(slot) & CKF_USER_PIN_COUNT_LOW, 0u);
}

TEST_F(PinPad, CancelledOnThePad) {
    CK_SLOT_ID slot = PadCard("Pad", "");
    CK_SESSION_HANDLE session = Open(slot, false);
    EXPECT_EQ(p11->C_Login(session, CKU_USER, nullptr, 0), CKR_FUNCTION_CANCELED);
    EXPECT_EQ(State(session), static_cast<CK_STATE>(CKS_RO_PUBLIC_SESSION));
}

TEST_F(PinPad, SecurityOfficerTypesThePin) {
    CK_SLOT_ID slot = PadCard("Pad", "1234");
    CK_SESSION_HANDLE session = Open(slot, true);
    EXPECT_EQ(p11->C_Login(session, CKU_SO, nullptr, 0), CKR_ARGUMENTS_BAD);
    Env().ClearLog();
    ASSERT_EQ(Login(session, CKU_SO, "12345678"), CKR_OK);
    EXPECT_FALSE(LogHas("Apply flag"));
    EXPECT_EQ(State(session), static_cast<CK_STATE>(CKS_RW_SO_FUNCTIONS));
}

TEST_F(PinPad, ReaderWithoutPadNeedsAPin) {
    CK_SLOT_ID slot = Card("Plain");
    CK_SESSION_HANDLE session = Open(slot, false);
    EXPECT_EQ(p11->C_Login(session, CKU_USER, nullptr, 0), CKR_ARGUMENTS_BAD);
    EXPECT_FALSE(LogHas("Apply flag"));
    EXPECT_EQ(Login(session, CKU_USER, "1234"), CKR_OK);
}

TEST_F(PinPad, PseudoLogin) {
    CK_SLOT_ID slot = PadCard("Pad", "1234");
    CK_SESSION_HANDLE ro = Open(slot, false);
    CK_SESSION_HANDLE rw = Open(slot, true);
    auto pseudoLogin = reinterpret_cast<PinPadPseudoLoginFn>(Env().Symbol("C_PINPadPseudoLogin"));
    ASSERT_NE(pseudoLogin, nullptr);
    Env().ClearLog();
    ASSERT_EQ(pseudoLogin(ro), CKR_OK);
    char entry[64];
    std::snprintf(entry, sizeof entry, "Pkcs11Provider::C_PINPadPseudoLogin(0x%lX)", ro);
    EXPECT_TRUE(LogHas(entry));
    EXPECT_TRUE(LogHas("Pkcs11Provider::C_PINPadPseudoLogin() => CKR_OK"));
    EXPECT_EQ(State(ro), static_cast<CK_STATE>(CKS_RO_USER_FUNCTIONS));
    EXPECT_EQ(State(rw), static_cast<CK_STATE>(CKS_RW_USER_FUNCTIONS));
    EXPECT_EQ(pseudoLogin(rw), CKR_USER_ALREADY_LOGGED_IN);
    EXPECT_EQ(Login(rw, CKU_USER, "1234"), CKR_USER_ALREADY_LOGGED_IN);
    ASSERT_EQ(p11->C_Logout(rw), CKR_OK);
    EXPECT_EQ(State(ro), static_cast<CK_STATE>(CKS_RO_PUBLIC_SESSION));
}

// The pseudo login caches the placeholder PIN; signing then takes the PIN from the pad.
TEST_F(PinPad, SigningAfterPseudoLoginUsesThePad) {
    auto pseudoLogin = reinterpret_cast<PinPadPseudoLoginFn>(Env().Symbol("C_PINPadPseudoLogin"));
    for (const char* padPin : {"1234", "9999"}) {
        std::string reader = std::string("Pad ") + padPin;
        CK_SLOT_ID slot = PadCard(reader, padPin);
        Env().ToolOk("key-generate '@" + reader + "' --bits 1024");
        CK_SESSION_HANDLE session = Open(slot, false);
        ASSERT_EQ(pseudoLogin(session), CKR_OK);
        CK_OBJECT_CLASS keyClass = CKO_PRIVATE_KEY;
        CK_ATTRIBUTE tmpl[] = {{CKA_CLASS, &keyClass, sizeof keyClass}};
        std::vector<CK_OBJECT_HANDLE> keys = FindAll(session, tmpl, 1);
        ASSERT_EQ(keys.size(), 1u);
        CK_MECHANISM mechanism = {CKM_RSA_PKCS, nullptr, 0};
        ASSERT_EQ(p11->C_SignInit(session, &mechanism, keys[0]), CKR_OK);
        unsigned char data[20] = {9, 8, 7};
        unsigned char signature[256];
        CK_ULONG length = sizeof signature;
        CK_RV expected = std::string(padPin) == "1234" ? CKR_OK : CKR_PIN_INCORRECT;
        EXPECT_EQ(p11->C_Sign(session, data, sizeof data, signature, &length), expected) << padPin;
    }
}

}  // namespace
}  // namespace vctest
