// INI reader: the input is a configuration file; every key the module and the card core
// read is looked up, as integer and as text, in their sections and in the first section
// named in the input. The environment expansion of the trusted-applications path gets
// the first line as its source text.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "core/Config.h"

using namespace Vellumcrest::Core;

namespace {

int fileOnce() {
    static int fd = ::memfd_create("vc-fuzz-ini", 0);
    return fd;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    int fd = fileOnce();
    if (fd < 0 || ::ftruncate(fd, 0) != 0 || ::pwrite(fd, data, size, 0) != static_cast<ssize_t>(size)) return 0;
    char path[64];
    std::snprintf(path, sizeof path, "/proc/self/fd/%d", fd);

    std::string text(reinterpret_cast<const char*>(data), size);
    std::string section = "Pkcs11";
    size_t open = text.find('['), close = text.find(']');
    if (open != std::string::npos && close != std::string::npos && close > open)
        section = text.substr(open + 1, close - open - 1);
    const char* sections[] = {"Core", "Pkcs11", section.c_str()};
    const char* keys[] = {"LogFile", "ReadersDir", "Version", "CustomerCode", "CspKeyType", "LogLevelPkcs11",
                          "LogLevelCore", "MzvMode", "ProtectAuthPath", "SignatureKeyType", "EsignErrorDialog"};
    for (const char* s : sections) {
        for (const char* k : keys) {
            GetPrivateProfileInt(s, k, -7, path);
            GetPrivateProfileString(s, k, "default", path);
        }
    }
    std::string line = text.substr(0, text.find('\n'));
    char expanded[261];
    unsigned long needed = ExpandEnvironmentStrings(line.c_str(), expanded, sizeof expanded);
    if (needed == 0) __builtin_trap();  // the terminator always counts
    return 0;
}
