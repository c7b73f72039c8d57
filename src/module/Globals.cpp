// The objects that exist once per loaded library and the call-log helpers.
#include "module/Globals.h"

#include <unistd.h>

#include <mutex>

#include "core/CardAuth.h"
#include "core/CardCrypto.h"
#include "core/Config.h"
#include "core/Hash.h"
#include "core/Log.h"
#include "core/ProcessTrustVerifier.h"
#include "core/UnsealedKeys.h"
#include "module/ConfigPkcs11.h"
#include "module/Pkcs11Provider.h"
#include "module/ReturnValues.h"
#include "session/ElementLifetime.h"
#include "session/SoPinStore.h"

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

// Builds the function-local statics that the module's objects use, also while they are
// destroyed: built before them, they are destroyed after them when the library is
// unloaded or the process exits.
bool prepareStatics() {
    Core::GetCoreLog();
    Core::GetConfigGlobal();
    Core::GetProcTrustVerifier();
    Core::CardAuth::ClearMemo();
    Core::PrepareHashMethods();
    Core::CardCrypto::PrepareAlgorithms();
    Core::WipeAllUnsealedKeys();  // builds the registry of kept keys
    SoPinStore::Forget(nullptr);
    std::lock_guard<std::mutex> guard(Lifetime::ClosedMutex());
    Lifetime::TakeClosedHeld(nullptr);
    return true;
}

// Built on first use (at the latest by the library constructor), destroyed in reverse
// order of the members on unload: configuration, log, provider (which frees the sessions,
// groups and objects still open).
struct ModuleGlobals {
    bool staticsReady = prepareStatics();
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
