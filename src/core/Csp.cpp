#include "core/Csp.h"

#include <strings.h>

#include <cstdlib>

#include "core/Config.h"
#include "core/Log.h"

namespace Vellumcrest {
namespace Csp {

namespace {
constexpr const char* kKeyTypeVariable = "VELLUMCREST_CSP_KEYTYPE";
}  // namespace

// The environment variable, when set, decides (any other text than the four answers
// cancels); otherwise the configured answer; otherwise the dialog counts as cancelled.
int Csp::CspSelectKeyTypeUI(Core::SignatureKeyType* keyType, void* parentWindow) {
    ++selectCount_;
    Core::Log* log = Core::GetCoreLog();
    int answer = 0;
    const char* source = "none";
    const char* fromEnvironment = std::getenv(kKeyTypeVariable);
    if (fromEnvironment != nullptr && *fromEnvironment != '\0') {
        source = kKeyTypeVariable;
        if (::strcasecmp(fromEnvironment, "2") == 0 || ::strcasecmp(fromEnvironment, "application") == 0)
            answer = Core::SignatureKeyTypeApplication;
        else if (::strcasecmp(fromEnvironment, "6") == 0 || ::strcasecmp(fromEnvironment, "esign") == 0)
            answer = Core::SignatureKeyTypeEsign;
    } else {
        int configured = Core::GetConfigGlobal()->GetCspKeyTypeAnswer();
        if (configured == Core::SignatureKeyTypeApplication || configured == Core::SignatureKeyTypeEsign) {
            source = "CspKeyType";
            answer = configured;
        }
    }
    if (answer == 0) {
        log->Info("Csp::CspSelectKeyTypeUI(): key type selection cancelled (answer from %s)", source);
        return Core::CoreUserCancelled;
    }
    if (keyType == nullptr) {
        log->Error("Csp::CspSelectKeyTypeUI(): no place for the answer");
        return Core::CoreInvalidArgument;
    }
    *keyType = static_cast<Core::SignatureKeyType>(answer);
    log->Info("Csp::CspSelectKeyTypeUI(): key type %d selected (answer from %s)", answer, source);
    return Core::CoreOk;
}

int Csp::CspNoFreeEsignSlotUI(void* parentWindow, const char* readerName) {
    ++noFreeCount_;
    Core::GetCoreLog()->Warning("Csp::CspNoFreeEsignSlotUI(): no free place for an e-signature key on the card in "
                                "reader \"%s\"",
                                readerName != nullptr ? readerName : "(unknown)");
    return Core::CoreOk;
}

}  // namespace Csp
}  // namespace Vellumcrest
