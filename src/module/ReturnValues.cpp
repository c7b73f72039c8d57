// CK_RV names for the call log and the general translation of card-core results.
#include "module/ReturnValues.h"

#include "core/CoreTypes.h"
#include "core/Reader.h"
#include "module/Globals.h"

namespace Vellumcrest {
namespace Pkcs11 {

const char* ReturnValueName(CK_RV rv) {
    switch (rv) {
#define VC_RV_NAME(name) \
    case name:           \
        return #name;
        VC_RV_NAME(CKR_OK)
        VC_RV_NAME(CKR_CANCEL)
        VC_RV_NAME(CKR_HOST_MEMORY)
        VC_RV_NAME(CKR_SLOT_ID_INVALID)
        VC_RV_NAME(CKR_GENERAL_ERROR)
        VC_RV_NAME(CKR_FUNCTION_FAILED)
        VC_RV_NAME(CKR_ARGUMENTS_BAD)
        VC_RV_NAME(CKR_NO_EVENT)
        VC_RV_NAME(CKR_NEED_TO_CREATE_THREADS)
        VC_RV_NAME(CKR_CANT_LOCK)
        VC_RV_NAME(CKR_ATTRIBUTE_READ_ONLY)
        VC_RV_NAME(CKR_ATTRIBUTE_SENSITIVE)
        VC_RV_NAME(CKR_ATTRIBUTE_TYPE_INVALID)
        VC_RV_NAME(CKR_ATTRIBUTE_VALUE_INVALID)
        VC_RV_NAME(CKR_DATA_INVALID)
        VC_RV_NAME(CKR_DATA_LEN_RANGE)
        VC_RV_NAME(CKR_DEVICE_ERROR)
        VC_RV_NAME(CKR_DEVICE_MEMORY)
        VC_RV_NAME(CKR_DEVICE_REMOVED)
        VC_RV_NAME(CKR_ENCRYPTED_DATA_INVALID)
        VC_RV_NAME(CKR_ENCRYPTED_DATA_LEN_RANGE)
        VC_RV_NAME(CKR_FUNCTION_CANCELED)
        VC_RV_NAME(CKR_FUNCTION_NOT_PARALLEL)
        VC_RV_NAME(CKR_FUNCTION_NOT_SUPPORTED)
        VC_RV_NAME(CKR_KEY_HANDLE_INVALID)
        VC_RV_NAME(CKR_KEY_SIZE_RANGE)
        VC_RV_NAME(CKR_KEY_TYPE_INCONSISTENT)
        VC_RV_NAME(CKR_KEY_NOT_NEEDED)
        VC_RV_NAME(CKR_KEY_CHANGED)
        VC_RV_NAME(CKR_KEY_NEEDED)
        VC_RV_NAME(CKR_KEY_INDIGESTIBLE)
        VC_RV_NAME(CKR_KEY_FUNCTION_NOT_PERMITTED)
        VC_RV_NAME(CKR_KEY_NOT_WRAPPABLE)
        VC_RV_NAME(CKR_KEY_UNEXTRACTABLE)
        VC_RV_NAME(CKR_MECHANISM_INVALID)
        VC_RV_NAME(CKR_MECHANISM_PARAM_INVALID)
        VC_RV_NAME(CKR_OBJECT_HANDLE_INVALID)
        VC_RV_NAME(CKR_OPERATION_ACTIVE)
        VC_RV_NAME(CKR_OPERATION_NOT_INITIALIZED)
        VC_RV_NAME(CKR_PIN_INCORRECT)
        VC_RV_NAME(CKR_PIN_INVALID)
        VC_RV_NAME(CKR_PIN_LEN_RANGE)
        VC_RV_NAME(CKR_PIN_EXPIRED)
        VC_RV_NAME(CKR_PIN_LOCKED)
        VC_RV_NAME(CKR_SESSION_CLOSED)
        VC_RV_NAME(CKR_SESSION_COUNT)
        VC_RV_NAME(CKR_SESSION_HANDLE_INVALID)
        VC_RV_NAME(CKR_SESSION_PARALLEL_NOT_SUPPORTED)
        VC_RV_NAME(CKR_SESSION_READ_ONLY)
        VC_RV_NAME(CKR_SESSION_EXISTS)
        VC_RV_NAME(CKR_SESSION_READ_ONLY_EXISTS)
        VC_RV_NAME(CKR_SESSION_READ_WRITE_SO_EXISTS)
        VC_RV_NAME(CKR_SIGNATURE_INVALID)
        VC_RV_NAME(CKR_SIGNATURE_LEN_RANGE)
        VC_RV_NAME(CKR_TEMPLATE_INCOMPLETE)
        VC_RV_NAME(CKR_TEMPLATE_INCONSISTENT)
        VC_RV_NAME(CKR_TOKEN_NOT_PRESENT)
        VC_RV_NAME(CKR_TOKEN_NOT_RECOGNIZED)
        VC_RV_NAME(CKR_TOKEN_WRITE_PROTECTED)
        VC_RV_NAME(CKR_UNWRAPPING_KEY_HANDLE_INVALID)
        VC_RV_NAME(CKR_UNWRAPPING_KEY_SIZE_RANGE)
        VC_RV_NAME(CKR_UNWRAPPING_KEY_TYPE_INCONSISTENT)
        VC_RV_NAME(CKR_USER_ALREADY_LOGGED_IN)
        VC_RV_NAME(CKR_USER_NOT_LOGGED_IN)
        VC_RV_NAME(CKR_USER_PIN_NOT_INITIALIZED)
        VC_RV_NAME(CKR_USER_TYPE_INVALID)
        VC_RV_NAME(CKR_USER_ANOTHER_ALREADY_LOGGED_IN)
        VC_RV_NAME(CKR_USER_TOO_MANY_TYPES)
        VC_RV_NAME(CKR_WRAPPED_KEY_INVALID)
        VC_RV_NAME(CKR_WRAPPED_KEY_LEN_RANGE)
        VC_RV_NAME(CKR_WRAPPING_KEY_HANDLE_INVALID)
        VC_RV_NAME(CKR_WRAPPING_KEY_SIZE_RANGE)
        VC_RV_NAME(CKR_WRAPPING_KEY_TYPE_INCONSISTENT)
        VC_RV_NAME(CKR_RANDOM_SEED_NOT_SUPPORTED)
        VC_RV_NAME(CKR_RANDOM_NO_RNG)
        VC_RV_NAME(CKR_DOMAIN_PARAMS_INVALID)
        VC_RV_NAME(CKR_BUFFER_TOO_SMALL)
        VC_RV_NAME(CKR_SAVED_STATE_INVALID)
        VC_RV_NAME(CKR_INFORMATION_SENSITIVE)
        VC_RV_NAME(CKR_STATE_UNSAVEABLE)
        VC_RV_NAME(CKR_CRYPTOKI_NOT_INITIALIZED)
        VC_RV_NAME(CKR_CRYPTOKI_ALREADY_INITIALIZED)
        VC_RV_NAME(CKR_MUTEX_BAD)
        VC_RV_NAME(CKR_MUTEX_NOT_LOCKED)
        VC_RV_NAME(CKR_NEW_PIN_MODE)
        VC_RV_NAME(CKR_NEXT_OTP)
        VC_RV_NAME(CKR_FUNCTION_REJECTED)
        VC_RV_NAME(CKR_VENDOR_DEFINED)
#undef VC_RV_NAME
        default:
            return "UNKNOWN!";
    }
}

bool PinResultToCkRv(int coreCode, CK_RV* rv) {
    switch (coreCode) {
        case Core::CoreOk: *rv = CKR_OK; return true;
        case Core::CoreCardNotPresent: *rv = CKR_TOKEN_NOT_PRESENT; return true;
        case Core::CorePinNotInitialised: *rv = CKR_USER_PIN_NOT_INITIALIZED; return true;
        case Core::CorePinBlocked: *rv = CKR_PIN_LOCKED; return true;
        case Core::CoreWrongPin: *rv = CKR_PIN_INCORRECT; return true;
        default: return false;
    }
}

CK_RV CoreErrorToCkRv(Core::ReaderCardPair* pair, int coreCode) {
    CK_RV rv;
    if (PinResultToCkRv(coreCode, &rv)) return rv;
    switch (coreCode) {
        case Core::CoreCancelled:
            return CKR_FUNCTION_CANCELED;
        case Core::CoreSCardError: {
            // Without a pair there is no reader error to report; print 0 rather than fault.
            unsigned long error = pair != nullptr ? pair->GetLastSCardError() : 0;
            GetPkcs11Log()->Error("WSC ERROR: 0x%lX", error);
            return CKR_FUNCTION_FAILED;
        }
        default:
            GetPkcs11Log()->Error("Core ERROR: %d", coreCode);
            return CKR_FUNCTION_FAILED;
    }
}

}  // namespace Pkcs11
}  // namespace Vellumcrest
