#include <gtest/gtest.h>
#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <cctype>

#include "OpensslHelpers.h"
#include "TempDir.h"
#include "core/ProcessTrustVerifier.h"

using namespace Vellumcrest::Core;
using coretest::TempDir;
using coretest::WriteText;

namespace {

std::string SelfPath() {
    char resolved[PATH_MAX];
    return ::realpath("/proc/self/exe", resolved) != nullptr ? resolved : "";
}

std::string SelfSha256() {
    std::string content = coretest::ReadText("/proc/self/exe");
    return coretest::Hex(coretest::Digest(EVP_sha256(), coretest::ToBytes(content)));
}

std::string Upper(std::string text) {
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

}  // namespace

TEST(ProcessTrust, TrustedWhenPathAndHashMatch) {
    TempDir dir;
    std::string list = dir.File("trustedapps.ocf");
    std::string self = SelfPath();
    ASSERT_FALSE(self.empty());
    WriteText(list, "# trusted applications\r\n\r\n" + std::string(64, '0') + "  /usr/bin/other\r\n" +
                        Upper(SelfSha256()) + "  " + self + "\r\n");
    ProcessTrustVerifier verifier;
    EXPECT_FALSE(verifier.IsTrusted());
    ASSERT_TRUE(verifier.LoadTrustedAppsFile(orvostd::OrvoString(list)));
    EXPECT_TRUE(verifier.VerifyTrust());
    EXPECT_TRUE(verifier.IsTrusted());

    // sha256sum's binary-mode marker is accepted too.
    WriteText(list, SelfSha256() + " *" + self + "\n");
    ASSERT_TRUE(verifier.LoadTrustedAppsFile(orvostd::OrvoString(list)));
    EXPECT_TRUE(verifier.VerifyTrust());
}

TEST(ProcessTrust, UntrustedForOtherPathOrChangedHash) {
    TempDir dir;
    std::string list = dir.File("trustedapps.ocf");
    std::string self = SelfPath();
    std::string hash = SelfSha256();
    ProcessTrustVerifier verifier;

    WriteText(list, hash + "  /usr/bin/not-this-program\n");
    ASSERT_TRUE(verifier.LoadTrustedAppsFile(orvostd::OrvoString(list)));
    EXPECT_FALSE(verifier.VerifyTrust());

    std::string changed = hash;
    changed[10] = changed[10] == '0' ? '1' : '0';
    WriteText(list, changed + "  " + self + "\n");
    ASSERT_TRUE(verifier.LoadTrustedAppsFile(orvostd::OrvoString(list)));
    EXPECT_FALSE(verifier.VerifyTrust());

    // Malformed lines are skipped, not half-read.
    WriteText(list, hash.substr(0, 63) + "  " + self + "\n" + hash + self + "\n" + hash + "  relative/path\n");
    ASSERT_TRUE(verifier.LoadTrustedAppsFile(orvostd::OrvoString(list)));
    EXPECT_FALSE(verifier.VerifyTrust());
}

TEST(ProcessTrust, SymlinkedEntryAndUnreadableListClearsTrust) {
    TempDir dir;
    std::string list = dir.File("trustedapps.ocf");
    std::string link = dir.File("link-to-self");
    ASSERT_EQ(::symlink(SelfPath().c_str(), link.c_str()), 0);
    WriteText(list, SelfSha256() + "  " + link + "\n");
    ProcessTrustVerifier verifier;
    ASSERT_TRUE(verifier.LoadTrustedAppsFile(orvostd::OrvoString(list)));
    EXPECT_TRUE(verifier.VerifyTrust());

    EXPECT_FALSE(verifier.LoadTrustedAppsFile(orvostd::OrvoString(dir.File("missing.ocf"))));
    EXPECT_FALSE(verifier.VerifyTrust());
    EXPECT_FALSE(verifier.LoadTrustedAppsFile(orvostd::OrvoString("")));
    EXPECT_EQ(GetProcTrustVerifier(), GetProcTrustVerifier());
}

TEST(ProcessTrust, OversizedListOrEntriesBeyondTheBoundTrustNothing) {
    TempDir dir;
    std::string list = dir.File("trustedapps.ocf");
    std::string self = SelfPath();
    std::string match = SelfSha256() + "  " + self + "\n";
    std::string other = std::string(64, '1') + "  /usr/bin/other\n";
    ProcessTrustVerifier verifier;

    // The matching line after 1024 entries is not read.
    std::string many;
    for (int i = 0; i < 1024; ++i) many += other;
    WriteText(list, many + match);
    ASSERT_TRUE(verifier.LoadTrustedAppsFile(orvostd::OrvoString(list)));
    EXPECT_FALSE(verifier.VerifyTrust());

    // A file over 1 MiB is not used at all, even with the match first.
    WriteText(list, match + std::string(1024 * 1024, '#'));
    EXPECT_FALSE(verifier.LoadTrustedAppsFile(orvostd::OrvoString(list)));
    EXPECT_FALSE(verifier.VerifyTrust());
}
