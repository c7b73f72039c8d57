// Result names for the log and the translation of card-core results.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "LogCapture.h"
#include "core/CoreTypes.h"
#include "core/Reader.h"
#include "module/Globals.h"
#include "module/ReturnValues.h"

namespace {

using Vellumcrest::Pkcs11::CoreErrorToCkRv;
using Vellumcrest::Pkcs11::ReturnValueName;

TEST(ReturnValueName, NamesStandardValues) {
    const struct {
        CK_RV rv;
        const char* name;
    } known[] = {
        {0x0, "CKR_OK"},
        {0x1, "CKR_CANCEL"},
        {0x3, "CKR_SLOT_ID_INVALID"},
        {0x6, "CKR_FUNCTION_FAILED"},
        {0x7, "CKR_ARGUMENTS_BAD"},
        {0xA, "CKR_CANT_LOCK"},
        {0x13, "CKR_ATTRIBUTE_VALUE_INVALID"},
        {0x41, "CKR_ENCRYPTED_DATA_LEN_RANGE"},
        {0x50, "CKR_FUNCTION_CANCELED"},
        {0x54, "CKR_FUNCTION_NOT_SUPPORTED"},
        {0x6A, "CKR_KEY_UNEXTRACTABLE"},
        {0x82, "CKR_OBJECT_HANDLE_INVALID"},
        {0xA0, "CKR_PIN_INCORRECT"},
        {0xA4, "CKR_PIN_LOCKED"},
        {0xB3, "CKR_SESSION_HANDLE_INVALID"},
        {0xB8, "CKR_SESSION_READ_WRITE_SO_EXISTS"},
        {0xD1, "CKR_TEMPLATE_INCONSISTENT"},
        {0xE0, "CKR_TOKEN_NOT_PRESENT"},
        {0xF2, "CKR_UNWRAPPING_KEY_TYPE_INCONSISTENT"},
        {0x102, "CKR_USER_PIN_NOT_INITIALIZED"},
        {0x105, "CKR_USER_TOO_MANY_TYPES"},
        {0x115, "CKR_WRAPPING_KEY_TYPE_INCONSISTENT"},
        {0x130, "CKR_DOMAIN_PARAMS_INVALID"},
        {0x150, "CKR_BUFFER_TOO_SMALL"},
        {0x180, "CKR_STATE_UNSAVEABLE"},
        {0x190, "CKR_CRYPTOKI_NOT_INITIALIZED"},
        {0x191, "CKR_CRYPTOKI_ALREADY_INITIALIZED"},
        {0x1A1, "CKR_MUTEX_NOT_LOCKED"},
        {0x1B1, "CKR_NEXT_OTP"},
        {0x200, "CKR_FUNCTION_REJECTED"},
        {0x80000000, "CKR_VENDOR_DEFINED"},
    };
    for (const auto& entry : known) EXPECT_STREQ(ReturnValueName(entry.rv), entry.name) << std::hex << entry.rv;
}

TEST(ReturnValueName, UnknownValues) {
    for (CK_RV rv : {0x4ul, 0x11ful, 0x52ul, 0x61ul, 0x111ul, 0x1B2ul, 0x80000001ul, 0xFFFFFFFFul,
                     0x1000000000ul})
        EXPECT_STREQ(ReturnValueName(rv), "UNKNOWN!") << std::hex << rv;
}

TEST(CoreErrorToCkRv, KnownCodesTranslateSilently) {
    vcframe::LogCapture capture;
    Vellumcrest::Core::ReaderCardPair pair;
    EXPECT_EQ(CoreErrorToCkRv(&pair, 0), CKR_OK);
    EXPECT_EQ(CoreErrorToCkRv(&pair, 2), CKR_FUNCTION_CANCELED);
    EXPECT_EQ(CoreErrorToCkRv(&pair, 115), CKR_TOKEN_NOT_PRESENT);
    EXPECT_EQ(CoreErrorToCkRv(&pair, 122), CKR_USER_PIN_NOT_INITIALIZED);
    EXPECT_EQ(CoreErrorToCkRv(&pair, 123), CKR_PIN_LOCKED);
    EXPECT_EQ(CoreErrorToCkRv(&pair, 124), CKR_PIN_INCORRECT);
    EXPECT_EQ(capture.Lines(), std::vector<std::string>{});
}

TEST(CoreErrorToCkRv, FailuresWriteOneErrorLineEach) {
    vcframe::LogCapture capture(1);  // error lines only
    Vellumcrest::Core::ReaderCardPair pair;
    EXPECT_EQ(CoreErrorToCkRv(&pair, 102), CKR_FUNCTION_FAILED);
    EXPECT_EQ(CoreErrorToCkRv(&pair, 7), CKR_FUNCTION_FAILED);
    EXPECT_EQ(CoreErrorToCkRv(&pair, 100), CKR_FUNCTION_FAILED);
    EXPECT_EQ(CoreErrorToCkRv(&pair, -5), CKR_FUNCTION_FAILED);
    EXPECT_EQ(CoreErrorToCkRv(nullptr, 102), CKR_FUNCTION_FAILED);
    EXPECT_EQ(capture.Lines(), (std::vector<std::string>{"WSC ERROR: 0x0", "Core ERROR: 7", "Core ERROR: 100",
                                                          "Core ERROR: -5", "WSC ERROR: 0x0"}));
}

TEST(LogResult, ExitLineLevelFollowsTheResult) {
    {
        vcframe::LogCapture capture(3);
        EXPECT_EQ(Vellumcrest::Pkcs11::LogResult("C_Sign", CKR_OK), CKR_OK);
        EXPECT_EQ(Vellumcrest::Pkcs11::LogResult("C_Sign", CKR_PIN_LOCKED), CKR_PIN_LOCKED);
        EXPECT_EQ(capture.Lines(), (std::vector<std::string>{"Pkcs11Provider::C_Sign() => CKR_OK",
                                                              "Pkcs11Provider::C_Sign() => CKR_PIN_LOCKED"}));
    }
    {
        // At level 1 only failures are written.
        vcframe::LogCapture capture(1);
        Vellumcrest::Pkcs11::LogResult("C_Login", CKR_OK);
        Vellumcrest::Pkcs11::LogResult("C_Login", 0x4);
        EXPECT_EQ(capture.Lines(), std::vector<std::string>{"Pkcs11Provider::C_Login() => UNKNOWN!"});
    }
}

}  // namespace
