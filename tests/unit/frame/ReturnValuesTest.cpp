// Result names for the log and the translation of card-core results.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "LogCapture.h"
#include "core/Reader.h"
#include "module/Globals.h"
#include "module/ReturnValues.h"

namespace {

using Vellumcrest::Pkcs11::CoreErrorToCkRv;
using Vellumcrest::Pkcs11::ReturnValueName;
using Lines = std::vector<std::string>;

TEST(ReturnValueName, EdgesOfTheTableAndGapsBetweenEntries) {
    EXPECT_STREQ(ReturnValueName(0x0), "CKR_OK");
    EXPECT_STREQ(ReturnValueName(0x1B1), "CKR_NEXT_OTP");
    EXPECT_STREQ(ReturnValueName(0x80000000), "CKR_VENDOR_DEFINED");
    for (CK_RV rv : {0x4ul, 0x52ul, 0x111ul, 0x1B2ul, 0x80000001ul, 0xFFFFFFFFul, 0x1000000000ul})
        EXPECT_STREQ(ReturnValueName(rv), "UNKNOWN!") << std::hex << rv;
}

TEST(CoreErrorToCkRv, KnownCodesAreSilentAndFailuresLogOneErrorLineEach) {
    vcframe::LogCapture capture(1);  // error lines only
    Vellumcrest::Core::ReaderCardPair pair;
    const struct {
        Vellumcrest::Core::ReaderCardPair* pair;
        int code;
        CK_RV rv;
    } cases[] = {{&pair, 0, CKR_OK},           {&pair, 2, CKR_FUNCTION_CANCELED},
                 {&pair, 115, CKR_TOKEN_NOT_PRESENT}, {&pair, 122, CKR_USER_PIN_NOT_INITIALIZED},
                 {&pair, 123, CKR_PIN_LOCKED},   {&pair, 124, CKR_PIN_INCORRECT},
                 {&pair, 102, CKR_FUNCTION_FAILED}, {&pair, 7, CKR_FUNCTION_FAILED},
                 {&pair, -5, CKR_FUNCTION_FAILED}, {nullptr, 102, CKR_FUNCTION_FAILED}};
    for (const auto& c : cases) EXPECT_EQ(CoreErrorToCkRv(c.pair, c.code), c.rv) << c.code;
    EXPECT_EQ(capture.Lines(), (Lines{"WSC ERROR: 0x0", "Core ERROR: 7", "Core ERROR: -5", "WSC ERROR: 0x0"}));
}

TEST(LogResult, ExitLineLevelFollowsTheResult) {
    {
        vcframe::LogCapture capture(3);
        EXPECT_EQ(Vellumcrest::Pkcs11::LogResult("C_Sign", CKR_OK), CKR_OK);
        EXPECT_EQ(Vellumcrest::Pkcs11::LogResult("C_Sign", CKR_PIN_LOCKED), CKR_PIN_LOCKED);
        EXPECT_EQ(capture.Lines(),
                  (Lines{"Pkcs11Provider::C_Sign() => CKR_OK", "Pkcs11Provider::C_Sign() => CKR_PIN_LOCKED"}));
    }
    vcframe::LogCapture capture(1);  // only failures
    Vellumcrest::Pkcs11::LogResult("C_Login", CKR_OK);
    Vellumcrest::Pkcs11::LogResult("C_Login", 0x4);
    EXPECT_EQ(capture.Lines(), Lines{"Pkcs11Provider::C_Login() => UNKNOWN!"});
}

}  // namespace
