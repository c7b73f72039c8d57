// The objects that exist once per loaded library and the call-log helpers.
#include "module/Globals.h"

#include <unistd.h>

#include "core/Config.h"
#include "core/Log.h"
#include "core/ProcessTrustVerifier.h"
#include "module/ConfigPkcs11.h"
#include "module/Pkcs11Provider.h"
#include "module/ReturnValues.h"

namespace Vellumcrest {
namespace Pkcs11 {
namespace {

#if defined(__x86_64__)
constexpr const char* kPlatform = "x86_64";
#elif defined(__i386__)
constexpr const char* kPlatform = "x86";
#elif defined(__aarch64__)
constexpr const char* kPlatform = "arm64";
#elif defined(__arm__)
constexpr const char* kPlatform = "arm";
#else
constexpr const char* kPlatform = "unknown";
#endif

// Touches the card core's singletons so that they are complete before the module's
// objects and therefore outlive them when the library is unloaded.
bool prepareCore() {
    Core::GetCoreLog();
    Core::GetConfigGlobal();
    Core::GetProcTrustVerifier();
    return true;
}

// Built on first use (at the latest by the library constructor), destroyed in reverse
// order of the members on unload: configuration, log, provider.
struct ModuleGlobals {
    bool coreReady = prepareCore();
    Pkcs11Provider provider;
    Core::Log log;
    ConfigPkcs11 config;
};

ModuleGlobals& moduleGlobals() {
    static ModuleGlobals globals;
    return globals;
}

}  // namespace

Pkcs11Provider* GetProvider() { return &moduleGlobals().provider; }

Core::Log* GetPkcs11Log() { return &moduleGlobals().log; }

ConfigPkcs11* GetConfigPkcs11() { return &moduleGlobals().config; }

void LogProcessAndVersion() {
    Core::Log* log = GetPkcs11Log();

    char path[261];
    ssize_t length = ::readlink("/proc/self/exe", path, sizeof(path) - 1);
    if (length > 0) {
        path[length] = '\0';  // a longer path is cut at 260 characters
    }
    log->Info("Process: %s", length > 0 ? path : "unknown");

    log->Info("Version: %li.%li (%s %s, %s)", 4L, 0L, __DATE__, __TIME__, kPlatform);

    const Core::ConfigGlobal* global = Core::GetConfigGlobal();
    log->Info("Vellumcrest: %s (%li)", global->GetVersion(), global->GetCustomerCode());
}

CK_RV LogResult(const char* method, CK_RV rv) {
    GetPkcs11Log()->Write(rv == CKR_OK ? Core::Log::LevelInfo : Core::Log::LevelError,
                          "Pkcs11Provider::%s() => %s", method != nullptr ? method : "", ReturnValueName(rv));
    return rv;
}

}  // namespace Pkcs11
}  // namespace Vellumcrest
