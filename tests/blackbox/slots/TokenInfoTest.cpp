// Token information and the mechanism list.
#include "blackbox/slots/P11Fixture.h"

namespace vctest {
namespace {

using TokenInfo = P11Test;

const std::string kId = "0123456789ABCDEFfedcba9876543210";

TEST_F(TokenInfo, FieldsComeFromTheCard) {
    CK_SLOT_ID slot = Card("R", 2, "--id " + kId + " --model 'Model Twenty Chars!!' --firmware 2.7");
    CK_TOKEN_INFO info;
    std::memset(&info, 0xAB, sizeof info);
    ASSERT_EQ(p11->C_GetTokenInfo(slot, &info), CKR_OK);
    EXPECT_EQ(Text(info.label, 32), Padded("fedcba9876543210", 32));
    EXPECT_EQ(Text(info.serialNumber, 16), "fedcba9876543210");
    EXPECT_EQ(Text(info.model, 16), "Model Twenty Cha");
    EXPECT_EQ(info.flags, static_cast<CK_FLAGS>(CKF_LOGIN_REQUIRED | CKF_TOKEN_INITIALIZED |
                                                CKF_USER_PIN_INITIALIZED));
    EXPECT_EQ(info.ulMinPinLen, 4u);
    EXPECT_EQ(info.ulMaxPinLen, 12u);
    EXPECT_EQ(info.ulTotalPublicMemory, 65536u);
    EXPECT_GT(info.ulFreePublicMemory, 0u);
    EXPECT_LE(info.ulFreePublicMemory, 65536u);
    EXPECT_EQ(info.firmwareVersion.major, 2);
    EXPECT_EQ(info.firmwareVersion.minor, 7);

    // A short identifier gives a blank label and serial number.
    slot = Card("S", 1, "--id " + kId.substr(0, 31));
    ASSERT_EQ(p11->C_GetTokenInfo(slot, &info), CKR_OK);
    EXPECT_EQ(Text(info.label, 32), std::string(32, ' '));
    EXPECT_EQ(Text(info.serialNumber, 16), std::string(16, ' '));
}

TEST_F(TokenInfo, UninitialisedCardAndPins) {
    CK_SLOT_ID slot = Card("R", 1, "", "", "");
    CK_TOKEN_INFO info;
    ASSERT_EQ(p11->C_GetTokenInfo(slot, &info), CKR_OK);
    EXPECT_EQ(info.flags & (CKF_TOKEN_INITIALIZED | CKF_USER_PIN_INITIALIZED), 0u);
    EXPECT_NE(info.flags & CKF_LOGIN_REQUIRED, 0u);

    CK_SLOT_ID soOnly = Card("S", 1, "", "", "12345678");
    ASSERT_EQ(p11->C_GetTokenInfo(soOnly, &info), CKR_OK);
    EXPECT_NE(info.flags & CKF_TOKEN_INITIALIZED, 0u);
    EXPECT_EQ(info.flags & CKF_USER_PIN_INITIALIZED, 0u);
}

TEST_F(TokenInfo, RetryCountFlags) {
    struct Case {
        const char* options;
        CK_FLAGS set;
        CK_FLAGS clear;
    } cases[] = {
        {"--user-tries 3 --so-tries 5", 0,
         CKF_USER_PIN_COUNT_LOW | CKF_USER_PIN_FINAL_TRY | CKF_SO_PIN_COUNT_LOW | CKF_SO_PIN_FINAL_TRY},
        {"--user-tries 2 --so-tries 4", CKF_USER_PIN_COUNT_LOW | CKF_SO_PIN_COUNT_LOW,
         CKF_USER_PIN_FINAL_TRY | CKF_SO_PIN_FINAL_TRY},
        {"--user-tries 1 --so-tries 1",
         CKF_USER_PIN_COUNT_LOW | CKF_USER_PIN_FINAL_TRY | CKF_SO_PIN_COUNT_LOW | CKF_SO_PIN_FINAL_TRY, 0},
    };
    int n = 0;
    for (const Case& c : cases) {
        CK_SLOT_ID slot = Card("R" + std::to_string(n++), 1, c.options);
        CK_FLAGS flags = TokenFlags(slot);
        EXPECT_EQ(flags & c.set, c.set) << c.options;
        EXPECT_EQ(flags & c.clear, 0u) << c.options;
        EXPECT_EQ(flags & (CKF_USER_PIN_LOCKED | CKF_SO_PIN_LOCKED), 0u) << c.options;
    }
}

TEST_F(TokenInfo, ArgumentAndSlotChecks) {
    CK_SLOT_ID slot = Card("R");
    CK_TOKEN_INFO info;
    EXPECT_EQ(p11->C_GetTokenInfo(0, &info), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(p11->C_GetTokenInfo(slot, nullptr), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(p11->C_GetTokenInfo(4000, &info), CKR_FUNCTION_FAILED);

    Env().ToolOk("reader-add Empty");
    CK_SLOT_ID empty = SlotOf("Empty");
    ASSERT_NE(empty, 0u);
    EXPECT_EQ(p11->C_GetTokenInfo(empty, &info), CKR_TOKEN_NOT_PRESENT);
}

TEST_F(TokenInfo, TokenInfoDoesNotCloseSessionsOfAChangedCard) {
    CK_SLOT_ID slot = Card("R", 1, "--id " + kId);
    CK_SESSION_HANDLE session = Open(slot, false);
    Env().ToolOk("card-remove R " + Env().Path("old.vcard"));
    std::string other = "FFFFFFFFFFFFFFFF1111222233334444";
    Env().ToolOk("card-create " + Env().Path("new.vcard") + " --type 3 --id " + other);
    Env().ToolOk("card-insert R " + Env().Path("new.vcard"));

    CK_TOKEN_INFO info;
    EXPECT_EQ(p11->C_GetTokenInfo(slot, &info), CKR_OK);
    EXPECT_EQ(InfoRv(session), CKR_OK);
    // ... the mechanism queries do.
    CK_ULONG count = 0;
    EXPECT_EQ(p11->C_GetMechanismList(slot, nullptr, &count), CKR_DEVICE_REMOVED);
    EXPECT_EQ(InfoRv(session), CKR_SESSION_HANDLE_INVALID);
}

TEST_F(TokenInfo, MechanismListAndInfo) {
    CK_SLOT_ID slot = Card("R");
    CK_ULONG count = 0;
    ASSERT_EQ(p11->C_GetMechanismList(slot, nullptr, &count), CKR_OK);
    EXPECT_EQ(count, 7u);
    CK_MECHANISM_TYPE list[8] = {};
    count = 6;
    EXPECT_EQ(p11->C_GetMechanismList(slot, list, &count), CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(count, 7u);
    EXPECT_EQ(list[0], 0u);  // nothing stored
    count = 8;
    ASSERT_EQ(p11->C_GetMechanismList(slot, list, &count), CKR_OK);
    EXPECT_EQ(count, 7u);
    EXPECT_EQ(list[6], static_cast<CK_MECHANISM_TYPE>(CKM_RSA_PKCS));
    EXPECT_EQ(p11->C_GetMechanismList(slot, list, nullptr), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(p11->C_GetMechanismList(0, list, &count), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(p11->C_GetMechanismList(4000, list, &count), CKR_SLOT_ID_INVALID);

    CK_MECHANISM_INFO info;
    ASSERT_EQ(p11->C_GetMechanismInfo(slot, CKM_RSA_PKCS, &info), CKR_OK);
    EXPECT_EQ(p11->C_GetMechanismInfo(slot, CKM_SHA224, &info), CKR_MECHANISM_INVALID);
    EXPECT_EQ(p11->C_GetMechanismInfo(slot, CKM_SHA1_RSA_PKCS, &info), CKR_MECHANISM_INVALID);
    EXPECT_EQ(p11->C_GetMechanismInfo(slot, CKM_RSA_PKCS, nullptr), CKR_ARGUMENTS_BAD);
}

}  // namespace
}  // namespace vctest
