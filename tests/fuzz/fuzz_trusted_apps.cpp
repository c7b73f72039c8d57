// Trusted-applications list: the input is the list file; it is loaded and the running
// fuzzer's own executable is checked against it.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>

#include "core/ProcessTrustVerifier.h"

using namespace Vellumcrest::Core;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static int fd = ::memfd_create("vc-fuzz-trust", 0);
    if (fd < 0 || ::ftruncate(fd, 0) != 0 || ::pwrite(fd, data, size, 0) != static_cast<ssize_t>(size)) return 0;
    char path[64];
    std::snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
    ProcessTrustVerifier verifier;
    verifier.LoadTrustedAppsFile(orvostd::OrvoString(path));
    verifier.VerifyTrust();
    return 0;
}
