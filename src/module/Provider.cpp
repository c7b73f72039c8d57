// The provider frame: construction and the general-purpose functions.
#include <cstring>

#include "core/Log.h"
#include "core/ProcessTrustVerifier.h"
#include "module/Globals.h"
#include "module/Pkcs11Provider.h"

namespace Vellumcrest {
namespace Pkcs11 {
namespace {

void copyPadded(unsigned char* field, size_t size, const char* text) {
    size_t length = std::strlen(text);
    if (length > size) length = size;
    std::memset(field, ' ', size);
    std::memcpy(field, text, length);
}

}  // namespace

Pkcs11Provider::Pkcs11Provider() {
    initialised_ = false;
    sessions_.SetProvider(this);
    sessionGroups_.SetProvider(this);
}

// Open sessions are not closed here: the members go in reverse order of construction.
Pkcs11Provider::~Pkcs11Provider() {}

CK_RV Pkcs11Provider::C_Initialize(CK_VOID_PTR pInitArgs) {
    Core::Log* log = GetPkcs11Log();
    log->Info("--------------------------------------------------");
    log->Info("Pkcs11Provider::C_Initialize(%p)", pInitArgs);
    LogProcessAndVersion();

    Core::GetProcTrustVerifier()->VerifyTrust();

    CK_RV rv;
    if (initialised_) {
        rv = CKR_CRYPTOKI_ALREADY_INITIALIZED;
    } else if (pInitArgs == nullptr) {
        initialised_ = true;
        rv = CKR_OK;
    } else {
        const CK_C_INITIALIZE_ARGS* args = static_cast<const CK_C_INITIALIZE_ARGS*>(pInitArgs);
        if (args->pReserved != nullptr) {
            rv = CKR_ARGUMENTS_BAD;
        } else {
            int callbacks = (args->CreateMutex != nullptr) + (args->DestroyMutex != nullptr) +
                            (args->LockMutex != nullptr) + (args->UnlockMutex != nullptr);
            if (callbacks == 4) {
                // The module always uses its own locks; callbacks are only accepted
                // together with permission to use the operating system's.
                if ((args->flags & CKF_OS_LOCKING_OK) != 0) {
                    initialised_ = true;
                    rv = CKR_OK;
                } else {
                    rv = CKR_CANT_LOCK;
                }
            } else if (callbacks == 0) {
                initialised_ = true;
                rv = CKR_OK;
            } else {
                rv = CKR_ARGUMENTS_BAD;
            }
        }
    }
    return LogResult("C_Initialize", rv);
}

CK_RV Pkcs11Provider::C_Finalize(CK_VOID_PTR pReserved) {
    GetPkcs11Log()->Info("Pkcs11Provider::C_Finalize(%p)", pReserved);
    if (!initialised_) return LogResult("C_Finalize", CKR_CRYPTOKI_NOT_INITIALIZED);
    if (pReserved != nullptr) return LogResult("C_Finalize", CKR_ARGUMENTS_BAD);

    // Cleared first, so that a wait woken by the cancel sees the module finalised.
    initialised_ = false;
    monitor_.Cancel();
    Core::WipeAllUnsealedKeys();
    return LogResult("C_Finalize", CKR_OK);
}

CK_RV Pkcs11Provider::C_GetInfo(CK_INFO_PTR pInfo) {
    GetPkcs11Log()->Info("Pkcs11Provider::C_GetInfo(%p)", pInfo);
    if (!initialised_) return LogResult("C_GetInfo", CKR_CRYPTOKI_NOT_INITIALIZED);
    if (pInfo == nullptr) return LogResult("C_GetInfo", CKR_ARGUMENTS_BAD);

    pInfo->cryptokiVersion.major = 2;
    pInfo->cryptokiVersion.minor = 20;
    copyPadded(pInfo->manufacturerID, sizeof(pInfo->manufacturerID), "Orvo");
    pInfo->flags = 0;
    copyPadded(pInfo->libraryDescription, sizeof(pInfo->libraryDescription), "Orvo Vellumcrest PKCS#11 Library");
    pInfo->libraryVersion.major = 4;
    pInfo->libraryVersion.minor = 0;
    return LogResult("C_GetInfo", CKR_OK);
}

}  // namespace Pkcs11
}  // namespace Vellumcrest
