// Library start-up: what process attach does when the module is loaded.
#include <dlfcn.h>

#include <cstring>

#include "core/Config.h"
#include "core/Log.h"
#include "core/OrvoString.h"
#include "core/ProcessTrustVerifier.h"
#include "module/ConfigPkcs11.h"
#include "module/Globals.h"
#include "module/StartupReport.h"

namespace Vellumcrest {
namespace Pkcs11 {
namespace {

constexpr const char* kTrustedAppsPath = "%ProgramData%/Orvo Vellumcrest/trustedapps.ocf";

// The load address of this library, the counterpart of a module handle.
void* libraryHandle() {
    Dl_info info;
    if (::dladdr(reinterpret_cast<void*>(&libraryHandle), &info) != 0) return info.dli_fbase;
    return nullptr;
}

// Both logs write into the file named by the core configuration, each with its own
// level and application name. Without a path, or with one too long for the buffer,
// logging stays as the card core set it up.
void setUpLogging(const ConfigPkcs11& config) {
    char path[260];
    const char* logFile = Core::GetConfigGlobal()->GetLogFile();
    if (logFile == nullptr) return;
    size_t length = std::strlen(logFile);
    if (length >= sizeof(path)) return;
    std::memcpy(path, logFile, length + 1);

    int coreLevel = config.GetLogLevelCore();
    int moduleLevel = config.GetLogLevelPkcs11();
    if (path[0] == '\0') return;

    Core::Log* coreLog = Core::GetCoreLog();
    coreLog->SetApplication("Pkcs11-core");
    coreLog->SetFileName(path);
    coreLog->SetLevel(coreLevel);

    Core::Log* moduleLog = GetPkcs11Log();
    moduleLog->SetApplication("Pkcs11");
    moduleLog->SetFileName(path);
    moduleLog->SetLevel(moduleLevel);
}

// Loads the trusted-applications list. Only an absolute path after expansion is used:
// with ProgramData unset the text stays relative and would name a file below the
// current directory.
void loadTrustedApps() {
    char expanded[261];
    unsigned long needed = Core::ExpandEnvironmentStrings(kTrustedAppsPath, expanded, sizeof(expanded));
    if (needed == 0 || needed > sizeof(expanded)) return;
    expanded[sizeof(expanded) - 1] = '\0';
    if (expanded[0] != '/') return;
    Core::GetProcTrustVerifier()->LoadTrustedAppsFile(orvostd::OrvoString(expanded));
}

__attribute__((constructor)) void libraryAttach() {
    // Loading never fails: whatever goes wrong here leaves the defaults in place.
    try {
        ConfigPkcs11* config = GetConfigPkcs11();
        GetProvider();
        config->Load(libraryHandle());
        setUpLogging(*config);
        LogStartupSettings();
    } catch (...) {
    }
    try {
        loadTrustedApps();
    } catch (...) {
    }
}

}  // namespace
}  // namespace Pkcs11
}  // namespace Vellumcrest
