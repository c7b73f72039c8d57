#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <cstring>

#include "TempDir.h"
#include "core/Config.h"

using namespace Vellumcrest::Core;
using coretest::TempDir;
using coretest::WriteText;

namespace {

// Sets or unsets an environment variable for one scope.
class EnvVar {
public:
    EnvVar(const char* name, const char* value) : name_(name) {
        const char* old = std::getenv(name);
        hadOld_ = old != nullptr;
        if (hadOld_) old_ = old;
        if (value != nullptr) ::setenv(name, value, 1); else ::unsetenv(name);
    }
    ~EnvVar() {
        if (hadOld_) ::setenv(name_.c_str(), old_.c_str(), 1); else ::unsetenv(name_.c_str());
    }

private:
    std::string name_, old_;
    bool hadOld_ = false;
};

const char* kIni =
    "\xEF\xBB\xBF; leading comment\n"
    "top=ignored\n"
    "[Pkcs11]\r\n"
    "LogLevelPkcs11=4\r\n"
    "  logLEVELcore =   3   \r\n"
    "# another comment\n"
    "Negative=-12\n"
    "Plus=+7\n"
    "Trailing=25 ; comment\n"
    "Text=abc\n"
    "Empty=\n"
    "Huge=99999999999999999999\n"
    "HugeNegative=-99999999999999999999\n"
    "Duplicate=1\n"
    "Duplicate=2\n"
    "SpaceSign=- 3\n"
    "NoEquals\n"
    "[ core ]\n"
    "LogFile = /var/log/my file.log \n"
    "Quoted=\"  spaced  \"\n"
    "Version=4.1.2\n"
    "[Broken\n"
    "LogLevelPkcs11=9\n";

}  // namespace

TEST(Ini, IntegersFollowPrivateProfileSemantics) {
    TempDir dir;
    std::string path = dir.File("c.conf");
    WriteText(path, kIni);
    const char* p = path.c_str();
    EXPECT_EQ(GetPrivateProfileInt("Pkcs11", "LogLevelPkcs11", -1, p), 4);
    EXPECT_EQ(GetPrivateProfileInt("PKCS11", "LogLevelCore", -1, p), 3);  // names ignore case, blanks trimmed
    EXPECT_EQ(GetPrivateProfileInt("Pkcs11", "Negative", 0, p), -12);
    EXPECT_EQ(GetPrivateProfileInt("Pkcs11", "Plus", 0, p), 7);
    EXPECT_EQ(GetPrivateProfileInt("Pkcs11", "Trailing", 0, p), 25);
    EXPECT_EQ(GetPrivateProfileInt("Pkcs11", "Text", 5, p), 0);     // present but not a number
    EXPECT_EQ(GetPrivateProfileInt("Pkcs11", "SpaceSign", 5, p), 0);
    EXPECT_EQ(GetPrivateProfileInt("Pkcs11", "Empty", 5, p), 5);    // empty value: default
    EXPECT_EQ(GetPrivateProfileInt("Pkcs11", "Huge", 0, p), INT_MAX);
    EXPECT_EQ(GetPrivateProfileInt("Pkcs11", "HugeNegative", 0, p), INT_MIN);
    EXPECT_EQ(GetPrivateProfileInt("Pkcs11", "Duplicate", 0, p), 1);  // first one wins
    EXPECT_EQ(GetPrivateProfileInt("Pkcs11", "Missing", 17, p), 17);
    EXPECT_EQ(GetPrivateProfileInt("Pkcs11", "NoEquals", 17, p), 17);
    EXPECT_EQ(GetPrivateProfileInt("Pkcs11", "top", 17, p), 17);      // keys before any section belong to none
    EXPECT_EQ(GetPrivateProfileInt("Nowhere", "LogLevelPkcs11", 17, p), 17);
    EXPECT_EQ(GetPrivateProfileInt("Core", "LogLevelPkcs11", 17, p), 17);  // "[Broken" is no section header
    EXPECT_EQ(GetPrivateProfileInt("Pkcs11", "LogLevelPkcs11", 17, dir.File("none.conf").c_str()), 17);
    EXPECT_EQ(GetPrivateProfileInt("Pkcs11", "LogLevelPkcs11", 17, ""), 17);
    EXPECT_EQ(GetPrivateProfileInt("Pkcs11", "LogLevelPkcs11", 17, nullptr), 17);
    EXPECT_EQ(GetPrivateProfileInt(nullptr, nullptr, 17, p), 17);
    EXPECT_EQ(GetPrivateProfileInt("Pkcs11", "LogLevelPkcs11", 17, dir.Path().c_str()), 17);  // a directory
}

TEST(Ini, StringsAreTrimmedAndUnquoted) {
    TempDir dir;
    std::string path = dir.File("c.conf");
    WriteText(path, kIni);
    const char* p = path.c_str();
    EXPECT_EQ(GetPrivateProfileString("Core", "LogFile", "x", p), "/var/log/my file.log");
    EXPECT_EQ(GetPrivateProfileString("core", "quoted", "x", p), "  spaced  ");
    EXPECT_EQ(GetPrivateProfileString("Pkcs11", "Empty", "x", p), "");
    EXPECT_EQ(GetPrivateProfileString("Pkcs11", "Missing", "dflt", p), "dflt");
    EXPECT_EQ(GetPrivateProfileString("Pkcs11", "Missing", nullptr, p), "");
}

TEST(Environment, ExpansionAndSizeProtocol) {
    EnvVar a("VC_TEST_A", "/data/dir");
    EnvVar unset("VC_TEST_UNSET", nullptr);
    const char* source = "%VC_TEST_A%/Orvo Vellumcrest/%VC_TEST_UNSET%/x";
    std::string expected = "/data/dir/Orvo Vellumcrest/%VC_TEST_UNSET%/x";
    EXPECT_EQ(ExpandEnvironmentStrings(source, nullptr, 0), expected.size() + 1);

    char exact[128];
    std::memset(exact, '#', sizeof(exact));
    EXPECT_EQ(ExpandEnvironmentStrings(source, exact, expected.size() + 1), expected.size() + 1);
    EXPECT_EQ(std::string(exact), expected);

    char small[16];
    std::memset(small, '#', sizeof(small));
    EXPECT_EQ(ExpandEnvironmentStrings(source, small, sizeof(small)), expected.size() + 1);
    EXPECT_EQ(small[0], '#');  // nothing written when it does not fit
    EXPECT_EQ(ExpandEnvironmentStrings(source, exact, expected.size()), expected.size() + 1);

    char out[64];
    ExpandEnvironmentStrings("100% of %VC_TEST_A%", out, sizeof(out));
    EXPECT_STREQ(out, "100% of /data/dir");
    ExpandEnvironmentStrings("%%VC_TEST_A%%", out, sizeof(out));
    EXPECT_STREQ(out, "%/data/dir%");
    ExpandEnvironmentStrings("tail%", out, sizeof(out));
    EXPECT_STREQ(out, "tail%");
    EXPECT_EQ(ExpandEnvironmentStrings("", out, sizeof(out)), 1u);
    EXPECT_STREQ(out, "");
    EXPECT_EQ(ExpandEnvironmentStrings(nullptr, out, sizeof(out)), 0u);
}

TEST(ConfigBase, PathFromEnvironmentDefaultOrNoneWhenTooLong) {
    {
        EnvVar config("VELLUMCREST_CONFIG", "/tmp/some.conf");
        ConfigBase base;
        EXPECT_STREQ(base.GetConfigPath(), "");
        base.Load(nullptr);
        EXPECT_STREQ(base.GetConfigPath(), "/tmp/some.conf");
        ConfigBase copy(base);
        EXPECT_STREQ(copy.GetConfigPath(), "/tmp/some.conf");
        ConfigBase assigned;
        assigned = base;
        EXPECT_STREQ(assigned.GetConfigPath(), "/tmp/some.conf");
    }
    {
        EnvVar config("VELLUMCREST_CONFIG", nullptr);
        ConfigBase base;
        base.Load(nullptr);
        EXPECT_STREQ(base.GetConfigPath(), kDefaultConfigPath);
    }
    {
        std::string fits = "/" + std::string(259, 'a');
        EnvVar config("VELLUMCREST_CONFIG", fits.c_str());
        ConfigBase base;
        base.Load(nullptr);
        EXPECT_EQ(std::string(base.GetConfigPath()), fits);
    }
    {
        std::string tooLong = "/" + std::string(260, 'a');
        EnvVar config("VELLUMCREST_CONFIG", tooLong.c_str());
        ConfigBase base;
        base.Load(nullptr);
        EXPECT_STREQ(base.GetConfigPath(), "");
    }
}

TEST(ConfigGlobal, CoreSectionAndReadersDirOverrideAtCallTime) {
    TempDir dir;
    std::string path = dir.File("g.conf");
    WriteText(path,
              "[Core]\nLogFile=/tmp/x.log\nVersion=4.2.0-beta\nCustomerCode=77\nReadersDir=/srv/readers\n"
              "CspKeyType=6\n");
    EnvVar config("VELLUMCREST_CONFIG", path.c_str());
    EnvVar readers("VELLUMCREST_READERS_DIR", nullptr);
    ConfigGlobal global;
    global.Load(nullptr);
    EXPECT_STREQ(global.GetLogFile(), "/tmp/x.log");
    EXPECT_STREQ(global.GetVersion(), "4.2.0-beta");
    EXPECT_EQ(global.GetCustomerCode(), 77);
    EXPECT_EQ(global.GetCspKeyTypeAnswer(), 6);
    EXPECT_STREQ(global.GetReadersDir(), "/srv/readers");
    ::setenv("VELLUMCREST_READERS_DIR", "/override", 1);
    EXPECT_STREQ(global.GetReadersDir(), "/override");
    ::setenv("VELLUMCREST_READERS_DIR", "", 1);
    EXPECT_STREQ(global.GetReadersDir(), "/srv/readers");
}

TEST(ConfigGlobal, DefaultsWithoutFile) {
    TempDir dir;
    EnvVar config("VELLUMCREST_CONFIG", dir.File("missing.conf").c_str());
    EnvVar readers("VELLUMCREST_READERS_DIR", nullptr);
    ConfigGlobal global;
    global.Load(nullptr);
    EXPECT_STREQ(global.GetLogFile(), "");
    EXPECT_STREQ(global.GetVersion(), "4.0.0");
    EXPECT_EQ(global.GetCustomerCode(), 0);
    EXPECT_EQ(global.GetCspKeyTypeAnswer(), 0);
    EXPECT_STREQ(global.GetReadersDir(), kDefaultReadersDir);

    // An empty ReadersDir value falls back to the default as well.
    WriteText(dir.File("empty.conf"), "[Core]\nReadersDir=\n");
    EnvVar config2("VELLUMCREST_CONFIG", dir.File("empty.conf").c_str());
    ConfigGlobal second;
    second.Load(nullptr);
    EXPECT_STREQ(second.GetReadersDir(), kDefaultReadersDir);
    EXPECT_EQ(GetConfigGlobal(), GetConfigGlobal());
}
