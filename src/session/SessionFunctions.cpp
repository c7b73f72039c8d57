// C_OpenSession, C_CloseSession, C_CloseAllSessions, C_GetSessionInfo.

#include "core/Log.h"
#include "module/Globals.h"
#include "module/Locked.h"
#include "module/Pkcs11Provider.h"

namespace Vellumcrest {
namespace Pkcs11 {

CK_RV Pkcs11Provider::C_OpenSession(CK_SLOT_ID slotID, CK_FLAGS flags, CK_VOID_PTR pApplication,
                                    CK_NOTIFY Notify, CK_SESSION_HANDLE_PTR phSession) {
    static const char* const method = "C_OpenSession";
    Core::Log* log = GetPkcs11Log();
    log->Info("--------------------------------------------------");
    log->Info("Pkcs11Provider::C_OpenSession(0x%lX, %s, %p, %p, %p)", slotID,
              (flags & CKF_RW_SESSION) ? "RW" : "RO", pApplication, reinterpret_cast<void*>(Notify),
              static_cast<void*>(phSession));
    LogProcessAndVersion();

    if (!initialised_) return LogResult(method, CKR_CRYPTOKI_NOT_INITIALIZED);
    if (slotID == 0 || phSession == nullptr) return LogResult(method, CKR_ARGUMENTS_BAD);
    if ((flags & CKF_SERIAL_SESSION) == 0) return LogResult(method, CKR_SESSION_PARALLEL_NOT_SUPPORTED);

    CK_RV rv = VerifyKnownCardPresent(slotID);
    if (rv != CKR_OK) return LogResult(method, rv);

    bool readWrite = (flags & CKF_RW_SESSION) != 0;
    if (!readWrite && sessions_.HasSessionInState(slotID, CKS_RW_SO_FUNCTIONS))
        return LogResult(method, CKR_SESSION_READ_WRITE_SO_EXISTS);

    CK_SESSION_HANDLE handle = sessions_.CreateSession(slotID, readWrite);
    *phSession = handle;
    if (handle == 0) return LogResult(method, CKR_HOST_MEMORY);

    LogResult(method, CKR_OK);
    log->Info("    hSession: 0x%lX", handle);
    return CKR_OK;
}

CK_RV Pkcs11Provider::C_CloseSession(CK_SESSION_HANDLE hSession) {
    static const char* const method = "C_CloseSession";
    GetPkcs11Log()->Info("Pkcs11Provider::C_CloseSession(0x%lX)", hSession);
    if (!initialised_) return LogResult(method, CKR_CRYPTOKI_NOT_INITIALIZED);
    if (hSession == 0) return LogResult(method, CKR_ARGUMENTS_BAD);
    if (!sessions_.CloseSession(hSession)) return LogResult(method, CKR_SESSION_HANDLE_INVALID);
    return LogResult(method, CKR_OK);
}

CK_RV Pkcs11Provider::C_CloseAllSessions(CK_SLOT_ID slotID) {
    static const char* const method = "C_CloseAllSessions";
    GetPkcs11Log()->Info("Pkcs11Provider::C_CloseAllSessions(0x%lX)", slotID);
    if (!initialised_) return LogResult(method, CKR_CRYPTOKI_NOT_INITIALIZED);
    if (slotID == 0) return LogResult(method, CKR_ARGUMENTS_BAD);
    if (!sessions_.CloseAllSessions(slotID)) return LogResult(method, CKR_HOST_MEMORY);
    return LogResult(method, CKR_OK);
}

CK_RV Pkcs11Provider::C_GetSessionInfo(CK_SESSION_HANDLE hSession, CK_SESSION_INFO_PTR pInfo) {
    static const char* const method = "C_GetSessionInfo";
    GetPkcs11Log()->Info("Pkcs11Provider::C_GetSessionInfo(0x%lX, %p)", hSession, static_cast<void*>(pInfo));
    if (!initialised_) return LogResult(method, CKR_CRYPTOKI_NOT_INITIALIZED);
    if (hSession == 0 || pInfo == nullptr) return LogResult(method, CKR_ARGUMENTS_BAD);

    Locked<Session> session(sessions_.GetSession(hSession, true));
    if (!session) return LogResult(method, CKR_SESSION_HANDLE_INVALID);

    pInfo->slotID = session->GetSlotID();
    pInfo->state = session->GetState();
    pInfo->flags = CKF_SERIAL_SESSION | (session->IsReadWrite() ? CKF_RW_SESSION : 0);
    pInfo->ulDeviceError = 0;
    return LogResult(method, CKR_OK);
}

}  // namespace Pkcs11
}  // namespace Vellumcrest
