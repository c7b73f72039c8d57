// Test environment for black-box tests: one temporary directory per test binary with a
// readers directory, a configuration file and a log file; the module is loaded with
// dlopen after the environment is set, as a real application loads it.
#pragma once

#include <string>
#include <vector>

#include "vellumcrest/pkcs11.h"

namespace vctest {

struct ToolResult {
    int exitCode;
    std::string output;  // stdout and stderr
};

class TestEnv {
public:
    static TestEnv& Get();

    const std::string& Root() const { return root_; }
    const std::string& ReadersDir() const { return readersDir_; }
    const std::string& LogFile() const { return logFile_; }
    const std::string& ConfigFile() const { return configFile_; }
    std::string Path(const std::string& name) const { return root_ + "/" + name; }

    // Runs the card tool with --readers-dir set; args are passed through a shell, so quote.
    ToolResult Tool(const std::string& args) const;
    // Like Tool, but fails the current test when the tool fails.
    std::string ToolOk(const std::string& args) const;

    // Removes all readers and cards (between tests).
    void ResetReaders() const;
    // Reader with a fresh card of the given type and PINs ("" for none), inserted.
    // Returns the card image path inside the reader.
    std::string MakeReaderWithCard(const std::string& reader, int type, const std::string& userPin,
                                   const std::string& soPin, const std::string& extra = "") const;

    std::string ReadLog() const;
    void ClearLog() const;

    CK_FUNCTION_LIST_PTR P11() const { return functions_; }
    void* Symbol(const char* name) const;

    // Called by main() before the tests run.
    void Setup(const std::string& extraConfig);
    void Teardown();

private:
    std::string root_, readersDir_, logFile_, configFile_;
    void* module_ = nullptr;
    CK_FUNCTION_LIST_PTR functions_ = nullptr;
};

// Vendor exports of the loaded module.
using GetSlotListExFn = CK_RV (*)(CK_BBOOL, CK_SLOT_ID_PTR, CK_ULONG_PTR, CK_BBOOL);
using PinPadPseudoLoginFn = CK_RV (*)(CK_SESSION_HANDLE);
using DeleteContainerFn = CK_RV (*)(CK_SESSION_HANDLE, CK_OBJECT_HANDLE);
using GetReaderCardPairFn = CK_RV (*)(CK_SLOT_ID, void**);

// Slot of the first reader with a token; fails the test when there is none.
CK_SLOT_ID FirstTokenSlot();
// Opens a session (RW when rw) on the slot.
CK_SESSION_HANDLE OpenSession(CK_SLOT_ID slot, bool rw);
// All handles found for a template.
std::vector<CK_OBJECT_HANDLE> FindAll(CK_SESSION_HANDLE session, CK_ATTRIBUTE* tmpl, CK_ULONG count);
std::string Hex(const unsigned char* data, size_t length);
// The text in single quotes for /bin/sh.
std::string ShellQuote(const std::string& text);
std::vector<unsigned char> FromHex(const std::string& hex);
std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& content);

}  // namespace vctest

// A test binary may define this to add lines to the configuration file (INI text),
// e.g. "[Pkcs11]\nProtectAuthPath=1\n".
extern "C" const char* VcTestExtraConfig() __attribute__((weak));
