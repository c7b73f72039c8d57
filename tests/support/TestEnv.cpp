#include "support/TestEnv.h"

#include <dlfcn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

namespace vctest {

TestEnv& TestEnv::Get() {
    static TestEnv env;
    return env;
}

std::string ShellQuote(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) {
        if (c == '\'') quoted += "'\\''"; else quoted += c;
    }
    return quoted + "'";
}

void TestEnv::Setup(const std::string& extraConfig) {
    std::string base = VC_TEST_TMP;
    ::mkdir(base.c_str(), 0755);
    std::string pattern = base + "/bb-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (::mkdtemp(buffer.data()) == nullptr) {
        std::perror("mkdtemp");
        std::exit(1);
    }
    root_ = buffer.data();
    readersDir_ = root_ + "/readers";
    logFile_ = root_ + "/vellumcrest.log";
    configFile_ = root_ + "/vellumcrest.conf";
    ::mkdir(readersDir_.c_str(), 0755);
    ::mkdir((root_ + "/programdata").c_str(), 0755);
    ::mkdir((root_ + "/programdata/Orvo Vellumcrest").c_str(), 0755);

    std::ostringstream config;
    config << "[Core]\nLogFile=" << logFile_ << "\nReadersDir=" << readersDir_
           << "\nVersion=4.0.0-test\nCustomerCode=7\n"
           << "[Pkcs11]\nLogLevelPkcs11=4\nLogLevelCore=4\n";
    WriteFile(configFile_, config.str() + extraConfig);

    ::setenv("VELLUMCREST_CONFIG", configFile_.c_str(), 1);
    ::setenv("VELLUMCREST_READERS_DIR", readersDir_.c_str(), 1);
    ::setenv("ProgramData", (root_ + "/programdata").c_str(), 1);

    module_ = ::dlopen(VC_MODULE_PATH, RTLD_NOW | RTLD_LOCAL);
    if (module_ == nullptr) {
        std::fprintf(stderr, "dlopen %s: %s\n", VC_MODULE_PATH, ::dlerror());
        std::exit(1);
    }
    auto getFunctionList = reinterpret_cast<CK_RV (*)(CK_FUNCTION_LIST_PTR_PTR)>(
        ::dlsym(module_, "C_GetFunctionList"));
    if (getFunctionList == nullptr || getFunctionList(&functions_) != CKR_OK) {
        std::fprintf(stderr, "C_GetFunctionList not usable\n");
        std::exit(1);
    }
}

void TestEnv::Teardown() {
    if (functions_ != nullptr) functions_->C_Finalize(nullptr);
    if (std::getenv("VC_KEEP_TMP") == nullptr && !root_.empty())
        std::system(("rm -rf " + ShellQuote(root_)).c_str());
}

void* TestEnv::Symbol(const char* name) const { return ::dlsym(module_, name); }

ToolResult TestEnv::Tool(const std::string& args) const {
    std::string command = std::string(VC_TOOL_PATH) + " --readers-dir " + ShellQuote(readersDir_) +
                          " " + args + " 2>&1";
    ToolResult result{-1, ""};
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) return result;
    char chunk[4096];
    size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, pipe)) > 0) result.output.append(chunk, n);
    int status = ::pclose(pipe);
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

std::string TestEnv::ToolOk(const std::string& args) const {
    ToolResult result = Tool(args);
    EXPECT_EQ(result.exitCode, 0) << "vellumcrest-card " << args << "\n" << result.output;
    return result.output;
}

void TestEnv::ResetReaders() const {
    std::system(("rm -rf " + ShellQuote(readersDir_) + " && mkdir -p " + ShellQuote(readersDir_)).c_str());
}

std::string TestEnv::MakeReaderWithCard(const std::string& reader, int type, const std::string& userPin,
                                        const std::string& soPin, const std::string& extra) const {
    ToolOk("reader-add " + ShellQuote(reader));
    std::string image = root_ + "/" + reader + ".vcard";
    std::string args = "card-create " + ShellQuote(image) + " --type " + std::to_string(type);
    if (!userPin.empty()) args += " --user-pin " + ShellQuote(userPin);
    if (!soPin.empty()) args += " --so-pin " + ShellQuote(soPin);
    ToolOk(args + " " + extra);
    ToolOk("card-insert " + ShellQuote(reader) + " " + ShellQuote(image));
    return "@" + reader;
}

std::string TestEnv::ReadLog() const { return ReadFile(logFile_); }

void TestEnv::ClearLog() const { std::ofstream(logFile_, std::ios::trunc); }

CK_SLOT_ID FirstTokenSlot() {
    CK_SLOT_ID slots[16];
    CK_ULONG count = 16;
    EXPECT_EQ(TestEnv::Get().P11()->C_GetSlotList(CK_TRUE, slots, &count), CKR_OK);
    EXPECT_GE(count, 1u);
    return count > 0 ? slots[0] : 0;
}

CK_SESSION_HANDLE OpenSession(CK_SLOT_ID slot, bool rw) {
    CK_SESSION_HANDLE session = 0;
    CK_FLAGS flags = CKF_SERIAL_SESSION | (rw ? CKF_RW_SESSION : 0);
    EXPECT_EQ(TestEnv::Get().P11()->C_OpenSession(slot, flags, nullptr, nullptr, &session), CKR_OK);
    return session;
}

std::vector<CK_OBJECT_HANDLE> FindAll(CK_SESSION_HANDLE session, CK_ATTRIBUTE* tmpl, CK_ULONG count) {
    std::vector<CK_OBJECT_HANDLE> found;
    CK_FUNCTION_LIST_PTR p11 = TestEnv::Get().P11();
    EXPECT_EQ(p11->C_FindObjectsInit(session, tmpl, count), CKR_OK);
    for (;;) {
        CK_OBJECT_HANDLE handles[8];
        CK_ULONG n = 0;
        CK_RV rv = p11->C_FindObjects(session, handles, 8, &n);
        EXPECT_EQ(rv, CKR_OK);
        if (rv != CKR_OK || n == 0) break;
        found.insert(found.end(), handles, handles + n);
    }
    EXPECT_EQ(p11->C_FindObjectsFinal(session), CKR_OK);
    return found;
}

std::string Hex(const unsigned char* data, size_t length) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (size_t i = 0; i < length; ++i) {
        text += digits[data[i] >> 4];
        text += digits[data[i] & 15];
    }
    return text;
}

std::vector<unsigned char> FromHex(const std::string& hex) {
    std::vector<unsigned char> bytes;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        bytes.push_back(static_cast<unsigned char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return bytes;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

void WriteFile(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

}  // namespace vctest

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    vctest::TestEnv::Get().Setup(VcTestExtraConfig != nullptr ? VcTestExtraConfig() : "");
    int result = RUN_ALL_TESTS();
    vctest::TestEnv::Get().Teardown();
    return result;
}
