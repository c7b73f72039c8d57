#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

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

TEST(Ini, ValuesFollowPrivateProfileSemantics) {
    TempDir dir;
    std::string path = dir.File("c.conf");
    WriteText(path, kIni);
    const char* p = path.c_str();
    const struct {
        const char* section;
        const char* key;
        int value;
    } ints[] = {
        {"Pkcs11", "LogLevelPkcs11", 4},
        {"PKCS11", "LogLevelCore", 3},  // names ignore case, blanks trimmed
        {"Pkcs11", "Negative", -12},
        {"Pkcs11", "Plus", 7},
        {"Pkcs11", "Trailing", 25},
        {"Pkcs11", "Text", 0},  // present but not a number
        {"Pkcs11", "SpaceSign", 0},
        {"Pkcs11", "Empty", 17},  // empty value: default
        {"Pkcs11", "Huge", INT_MAX},
        {"Pkcs11", "HugeNegative", INT_MIN},
        {"Pkcs11", "Duplicate", 1},  // first one wins
        {"Pkcs11", "NoEquals", 17},
        {"Pkcs11", "top", 17},  // keys before any section belong to none
        {"Core", "LogLevelPkcs11", 17},  // "[Broken" is no section header
        {nullptr, nullptr, 17},
    };
    for (const auto& c : ints) EXPECT_EQ(GetPrivateProfileInt(c.section, c.key, 17, p), c.value) << c.key;
    for (const char* unusable : {"", "/nonexistent/none.conf", dir.Path().c_str()})
        EXPECT_EQ(GetPrivateProfileInt("Pkcs11", "LogLevelPkcs11", 17, unusable), 17) << unusable;
    EXPECT_EQ(GetPrivateProfileInt("Pkcs11", "LogLevelPkcs11", 17, nullptr), 17);

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
    EXPECT_EQ(ExpandEnvironmentStrings(source, exact, expected.size() + 1), expected.size() + 1);
    EXPECT_EQ(std::string(exact), expected);
    char small[16];
    std::memset(small, '#', sizeof(small));
    EXPECT_EQ(ExpandEnvironmentStrings(source, small, sizeof(small)), expected.size() + 1);
    EXPECT_EQ(small[0], '#');  // nothing written when it does not fit
    EXPECT_EQ(ExpandEnvironmentStrings(source, exact, expected.size()), expected.size() + 1);

    const struct {
        const char* in;
        const char* out;
    } cases[] = {{"100% of %VC_TEST_A%", "100% of /data/dir"}, {"%%VC_TEST_A%%", "%/data/dir%"}, {"tail%", "tail%"},
                 {"", ""}};
    char out[64];
    for (const auto& c : cases) {
        EXPECT_EQ(ExpandEnvironmentStrings(c.in, out, sizeof(out)), std::strlen(c.out) + 1);
        EXPECT_STREQ(out, c.out);
    }
    EXPECT_EQ(ExpandEnvironmentStrings(nullptr, out, sizeof(out)), 0u);
}

TEST(ConfigBase, PathFromEnvironmentDefaultOrNoneWhenTooLong) {
    const std::string fits = "/" + std::string(259, 'a'), tooLong = "/" + std::string(260, 'a');
    const struct {
        const char* env;
        std::string path;
    } cases[] = {{"/tmp/some.conf", "/tmp/some.conf"},
                 {nullptr, kDefaultConfigPath},
                 {fits.c_str(), fits},
                 {tooLong.c_str(), ""}};
    for (const auto& c : cases) {
        EnvVar config("VELLUMCREST_CONFIG", c.env);
        ConfigBase base;
        base.Load(nullptr);
        EXPECT_EQ(std::string(base.GetConfigPath()), c.path);
        ConfigBase copy(base);
        EXPECT_EQ(std::string(copy.GetConfigPath()), c.path);
    }
}

TEST(ConfigGlobal, CoreSectionDefaultsAndReadersDirOverrideAtCallTime) {
    TempDir dir;
    std::string path = dir.File("g.conf");
    WriteText(path,
              "[Core]\nReadersDir=/srv/readers\nCspKeyType=6\n");
    EnvVar config("VELLUMCREST_CONFIG", path.c_str());
    EnvVar readers("VELLUMCREST_READERS_DIR", nullptr);
    ConfigGlobal global;
    global.Load(nullptr);
    // LogFile, Version and CustomerCode are read by the client configuration script.
    EXPECT_EQ(global.GetCspKeyTypeAnswer(), 6);
    EXPECT_STREQ(global.GetReadersDir(), "/srv/readers");
    ::setenv("VELLUMCREST_READERS_DIR", "/override", 1);
    EXPECT_STREQ(global.GetReadersDir(), "/override");
    ::setenv("VELLUMCREST_READERS_DIR", "", 1);
    EXPECT_STREQ(global.GetReadersDir(), "/srv/readers");

    // Without a file, or with an empty ReadersDir value, the defaults hold.
    for (const char* text : {static_cast<const char*>(nullptr), "[Core]\nReadersDir=\n"}) {
        std::string other = dir.File("other.conf");
        ::unlink(other.c_str());
        if (text != nullptr) WriteText(other, text);
        EnvVar otherConfig("VELLUMCREST_CONFIG", other.c_str());
        ConfigGlobal defaults;
        defaults.Load(nullptr);
        EXPECT_STREQ(defaults.GetLogFile(), "");
        EXPECT_STREQ(defaults.GetVersion(), "4.0.0");
        EXPECT_EQ(defaults.GetCspKeyTypeAnswer(), 0);
        EXPECT_STREQ(defaults.GetReadersDir(), kDefaultReadersDir);
    }
}
