#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "core/CardRecords.h"
#include "core/Csp.h"
#include "core/OrvoString.h"

using namespace Vellumcrest::Core;

namespace {
std::wstring W(const std::string& utf8) { return Utf8ToOrvoStringW(utf8.data(), utf8.size()).str(); }
}  // namespace

TEST(Utf8, DecodesValidTextOfAllLengths) {
    EXPECT_EQ(W("abc"), L"abc");
    EXPECT_EQ(W("Nov\xC3\xA1k \xC5\xBElu\xC5\xA5ou\xC4\x8Dk\xC3\xBD"), L"Nov\u00E1k \u017Elu\u0165ou\u010Dk\u00FD");
    EXPECT_EQ(W("\xE2\x82\xAC"), L"\u20AC");
    EXPECT_EQ(W("\xF0\x9F\x98\x80"), std::wstring(1, static_cast<wchar_t>(0x1F600)));
    EXPECT_EQ(W("\xF4\x8F\xBF\xBF"), std::wstring(1, static_cast<wchar_t>(0x10FFFF)));
    EXPECT_EQ(W(std::string("a\0b", 3)), std::wstring(L"a\0b", 3));  // the length counts, not a terminator
    EXPECT_EQ(W(""), L"");
    EXPECT_TRUE(Utf8ToOrvoStringW(nullptr, 5).empty());
}

TEST(Utf8, InvalidSequencesBecomeReplacementCharacters) {
    const std::wstring r = L"\uFFFD";
    EXPECT_EQ(W("\x80"), r);                        // lone continuation byte
    EXPECT_EQ(W("a\xC3"), L"a" + r);                // truncated at the end
    EXPECT_EQ(W("\xC3(x"), r + L"(x");              // bad continuation: the next byte is kept
    EXPECT_EQ(W("\xC0\xAF"), r + r);                // overlong two-byte form
    EXPECT_EQ(W("\xE0\x80\xAF"), r + r + r);        // overlong three-byte form
    EXPECT_EQ(W("\xED\xA0\x80"), r + r + r);        // UTF-16 surrogate
    EXPECT_EQ(W("\xF4\x90\x80\x80"), r + r + r + r);  // above U+10FFFF
    EXPECT_EQ(W("\xF5\xFF"), r + r);
    EXPECT_EQ(W("\xE2\x82"), r);                    // one maximal subpart, one replacement
    EXPECT_EQ(W("\xF0\x9F\x98"), r);

    // Never reads past the given length, even when the buffer goes on.
    const char buffer[] = "\xE2\x82\xAC";
    EXPECT_EQ(Utf8ToOrvoStringW(buffer, 2).str(), r);
}

TEST(Utf8, EncodesBackAndReplacesUnencodable) {
    std::string text = "Nov\xC3\xA1k \xE2\x82\xAC \xF0\x9F\x98\x80";
    EXPECT_EQ(OrvoStringWToUtf8(Utf8ToOrvoStringW(text.data(), text.size())), text);
    std::wstring bad;
    bad += static_cast<wchar_t>(0xD800);
    bad += static_cast<wchar_t>(0x110000);
    bad += L'x';
    EXPECT_EQ(OrvoStringWToUtf8(orvostd::OrvoStringW(bad)), "\xEF\xBF\xBD\xEF\xBF\xBDx");
    EXPECT_EQ(OrvoStringWToUtf8(orvostd::OrvoStringW()), "");
}

TEST(CardCommonAttribute, LimitsAndClearing) {
    CardCommonAttribute common;
    unsigned char id[65];
    for (int i = 0; i < 65; ++i) id[i] = static_cast<unsigned char>(i);
    EXPECT_TRUE(common.SetId(id, 64));
    EXPECT_EQ(common.GetId().size(), 64u);
    EXPECT_FALSE(common.SetId(id, 65));
    EXPECT_EQ(common.GetId().size(), 64u);  // unchanged after a refusal
    EXPECT_FALSE(common.SetId(nullptr, 3));
    EXPECT_TRUE(common.SetId(nullptr, 0));
    EXPECT_FALSE(common.HasId());

    std::string label(81, 'L');
    EXPECT_TRUE(common.SetLabelUtf8(label.data(), 80));
    EXPECT_EQ(common.GetLabel(), std::string(80, 'L'));
    EXPECT_FALSE(common.SetLabelUtf8(label.data(), 81));
    EXPECT_EQ(common.GetLabel().size(), 80u);
    EXPECT_FALSE(common.SetLabelUtf8(nullptr, 1));
    EXPECT_TRUE(common.SetLabelUtf8("abc", 2));
    EXPECT_EQ(common.GetLabel(), "ab");
    EXPECT_TRUE(common.SetLabelUtf8(nullptr, 0));
    EXPECT_FALSE(common.HasLabel());
}

TEST(Csp, KeyTypeAnswerFromEnvironmentOrCancelled) {
    Vellumcrest::Csp::Csp csp;
    SignatureKeyType type = SignatureKeyTypeAsk;
    ::unsetenv("VELLUMCREST_CSP_KEYTYPE");
    // The global configuration of this test binary has no CspKeyType answer.
    EXPECT_EQ(csp.CspSelectKeyTypeUI(&type, nullptr), CoreUserCancelled);
    ::setenv("VELLUMCREST_CSP_KEYTYPE", "esign", 1);
    EXPECT_EQ(csp.CspSelectKeyTypeUI(&type, nullptr), 0);
    EXPECT_EQ(type, SignatureKeyTypeEsign);
    ::setenv("VELLUMCREST_CSP_KEYTYPE", "2", 1);
    EXPECT_EQ(csp.CspSelectKeyTypeUI(&type, nullptr), 0);
    EXPECT_EQ(type, SignatureKeyTypeApplication);
    ::setenv("VELLUMCREST_CSP_KEYTYPE", "APPLICATION", 1);
    EXPECT_EQ(csp.CspSelectKeyTypeUI(&type, nullptr), 0);
    ::setenv("VELLUMCREST_CSP_KEYTYPE", "4", 1);
    type = SignatureKeyTypeAsk;
    EXPECT_EQ(csp.CspSelectKeyTypeUI(&type, nullptr), CoreUserCancelled);
    EXPECT_EQ(type, SignatureKeyTypeAsk);
    ::setenv("VELLUMCREST_CSP_KEYTYPE", "6", 1);
    EXPECT_NE(csp.CspSelectKeyTypeUI(nullptr, nullptr), 0);
    ::unsetenv("VELLUMCREST_CSP_KEYTYPE");
    EXPECT_EQ(csp.GetSelectKeyTypeCount(), 6);

    EXPECT_EQ(csp.CspNoFreeEsignSlotUI(nullptr, "Reader 1"), 0);
    EXPECT_EQ(csp.CspNoFreeEsignSlotUI(nullptr, nullptr), 0);
    EXPECT_EQ(csp.GetNoFreeEsignSlotCount(), 2);
}
