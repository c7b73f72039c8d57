// The two dialogs that key-pair generation can show. There is no GUI: the answer of the
// key-type dialog comes from the core configuration (CspKeyType) or the environment
// variable VELLUMCREST_CSP_KEYTYPE ("2"/"application" or "6"/"esign"); without one the
// selection counts as cancelled.
#pragma once

#include <atomic>

#include "core/CoreTypes.h"

namespace Vellumcrest {
namespace Csp {

class VC_LIST_ELEMENT Context {
public:
    virtual ~Context() = default;
};

class Csp {
public:
    virtual ~Csp() = default;
    // 0 when a choice was made (stored in *keyType), CoreUserCancelled otherwise.
    int CspSelectKeyTypeUI(Core::SignatureKeyType* keyType, void* parentWindow);
    // Tells the user that no free place for an e-signature key is left (logged).
    int CspNoFreeEsignSlotUI(void* parentWindow, const char* readerName);
    // Number of times each dialog was shown, for tests and diagnostics.
    int GetSelectKeyTypeCount() const { return selectCount_; }
    int GetNoFreeEsignSlotCount() const { return noFreeCount_; }

private:
    std::atomic<int> selectCount_{0};
    std::atomic<int> noFreeCount_{0};
};

}  // namespace Csp
}  // namespace Vellumcrest
