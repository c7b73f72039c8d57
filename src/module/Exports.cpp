// The exported C functions: each forwards its arguments unchanged to the one provider.
#include <exception>
#include <new>

#include "core/DirectoryWatch.h"
#include "core/Log.h"
#include "module/Globals.h"
#include "module/Pkcs11Provider.h"
#include "module/ReturnValues.h"
#include "vellumcrest/pkcs11.h"

namespace {

void logEscaped(const char* method, const char* what, CK_RV rv) noexcept {
    try {
        Vellumcrest::Pkcs11::GetPkcs11Log()->Error("Pkcs11Provider::%s(): nezachycena vyjimka (%s) => %s", method,
                                                   what, Vellumcrest::Pkcs11::ReturnValueName(rv));
    } catch (...) {
    }
}

// Every export is one outer call (Core::CallSpan). No exception leaves the library: one
// that escapes a provider method is logged and answered with CKR_HOST_MEMORY when memory
// ran out, else CKR_GENERAL_ERROR. Locks are scoped, so the unwinding has released them.
template <typename Call>
CK_RV guarded(const char* method, Call call) noexcept {
    Vellumcrest::Core::CallSpan span;
    try {
        return call();
    } catch (const std::bad_alloc&) {
        logEscaped(method, "std::bad_alloc", CKR_HOST_MEMORY);
        return CKR_HOST_MEMORY;
    } catch (const std::exception& e) {
        logEscaped(method, e.what(), CKR_GENERAL_ERROR);
    } catch (...) {
        logEscaped(method, "?", CKR_GENERAL_ERROR);
    }
    return CKR_GENERAL_ERROR;
}

}  // namespace

#define VC_FORWARD(method, ...) \
    return guarded(#method, [&] { return Vellumcrest::Pkcs11::GetProvider()->method(__VA_ARGS__); })

extern "C" {

VC_EXPORT CK_RV C_Initialize(CK_VOID_PTR pInitArgs) { VC_FORWARD(C_Initialize, pInitArgs); }

VC_EXPORT CK_RV C_Finalize(CK_VOID_PTR pReserved) { VC_FORWARD(C_Finalize, pReserved); }

VC_EXPORT CK_RV C_GetInfo(CK_INFO_PTR pInfo) { VC_FORWARD(C_GetInfo, pInfo); }

VC_EXPORT CK_RV C_GetSlotList(CK_BBOOL tokenPresent, CK_SLOT_ID_PTR pSlotList, CK_ULONG_PTR pulCount) {
    VC_FORWARD(C_GetSlotList, tokenPresent, pSlotList, pulCount);
}

VC_EXPORT CK_RV C_GetSlotInfo(CK_SLOT_ID slotID, CK_SLOT_INFO_PTR pInfo) {
    VC_FORWARD(C_GetSlotInfo, slotID, pInfo);
}

VC_EXPORT CK_RV C_GetTokenInfo(CK_SLOT_ID slotID, CK_TOKEN_INFO_PTR pInfo) {
    VC_FORWARD(C_GetTokenInfo, slotID, pInfo);
}

VC_EXPORT CK_RV C_GetMechanismList(CK_SLOT_ID slotID, CK_MECHANISM_TYPE_PTR pMechanismList,
                                   CK_ULONG_PTR pulCount) {
    VC_FORWARD(C_GetMechanismList, slotID, pMechanismList, pulCount);
}

VC_EXPORT CK_RV C_GetMechanismInfo(CK_SLOT_ID slotID, CK_MECHANISM_TYPE type, CK_MECHANISM_INFO_PTR pInfo) {
    VC_FORWARD(C_GetMechanismInfo, slotID, type, pInfo);
}

VC_EXPORT CK_RV C_InitToken(CK_SLOT_ID slotID, CK_UTF8CHAR_PTR pPin, CK_ULONG ulPinLen, CK_UTF8CHAR_PTR pLabel) {
    VC_FORWARD(C_InitToken, slotID, pPin, ulPinLen, pLabel);
}

VC_EXPORT CK_RV C_InitPIN(CK_SESSION_HANDLE hSession, CK_UTF8CHAR_PTR pPin, CK_ULONG ulPinLen) {
    VC_FORWARD(C_InitPIN, hSession, pPin, ulPinLen);
}

VC_EXPORT CK_RV C_SetPIN(CK_SESSION_HANDLE hSession, CK_UTF8CHAR_PTR pOldPin, CK_ULONG ulOldLen,
                         CK_UTF8CHAR_PTR pNewPin, CK_ULONG ulNewLen) {
    VC_FORWARD(C_SetPIN, hSession, pOldPin, ulOldLen, pNewPin, ulNewLen);
}

VC_EXPORT CK_RV C_OpenSession(CK_SLOT_ID slotID, CK_FLAGS flags, CK_VOID_PTR pApplication, CK_NOTIFY Notify,
                              CK_SESSION_HANDLE_PTR phSession) {
    VC_FORWARD(C_OpenSession, slotID, flags, pApplication, Notify, phSession);
}

VC_EXPORT CK_RV C_CloseSession(CK_SESSION_HANDLE hSession) { VC_FORWARD(C_CloseSession, hSession); }

VC_EXPORT CK_RV C_CloseAllSessions(CK_SLOT_ID slotID) { VC_FORWARD(C_CloseAllSessions, slotID); }

VC_EXPORT CK_RV C_GetSessionInfo(CK_SESSION_HANDLE hSession, CK_SESSION_INFO_PTR pInfo) {
    VC_FORWARD(C_GetSessionInfo, hSession, pInfo);
}

VC_EXPORT CK_RV C_GetOperationState(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pOperationState,
                                    CK_ULONG_PTR pulOperationStateLen) {
    VC_FORWARD(C_GetOperationState, hSession, pOperationState, pulOperationStateLen);
}

VC_EXPORT CK_RV C_SetOperationState(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pOperationState,
                                    CK_ULONG ulOperationStateLen, CK_OBJECT_HANDLE hEncryptionKey,
                                    CK_OBJECT_HANDLE hAuthenticationKey) {
    VC_FORWARD(C_SetOperationState, hSession, pOperationState, ulOperationStateLen, hEncryptionKey, hAuthenticationKey);
}

VC_EXPORT CK_RV C_Login(CK_SESSION_HANDLE hSession, CK_USER_TYPE userType, CK_UTF8CHAR_PTR pPin,
                        CK_ULONG ulPinLen) {
    VC_FORWARD(C_Login, hSession, userType, pPin, ulPinLen);
}

VC_EXPORT CK_RV C_Logout(CK_SESSION_HANDLE hSession) { VC_FORWARD(C_Logout, hSession); }

VC_EXPORT CK_RV C_CreateObject(CK_SESSION_HANDLE hSession, CK_ATTRIBUTE_PTR pTemplate, CK_ULONG ulCount,
                               CK_OBJECT_HANDLE_PTR phObject) {
    VC_FORWARD(C_CreateObject, hSession, pTemplate, ulCount, phObject);
}

VC_EXPORT CK_RV C_CopyObject(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject, CK_ATTRIBUTE_PTR pTemplate,
                             CK_ULONG ulCount, CK_OBJECT_HANDLE_PTR phNewObject) {
    VC_FORWARD(C_CopyObject, hSession, hObject, pTemplate, ulCount, phNewObject);
}

VC_EXPORT CK_RV C_DestroyObject(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject) {
    VC_FORWARD(C_DestroyObject, hSession, hObject);
}

VC_EXPORT CK_RV C_GetObjectSize(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject, CK_ULONG_PTR pulSize) {
    VC_FORWARD(C_GetObjectSize, hSession, hObject, pulSize);
}

VC_EXPORT CK_RV C_GetAttributeValue(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject,
                                    CK_ATTRIBUTE_PTR pTemplate, CK_ULONG ulCount) {
    VC_FORWARD(C_GetAttributeValue, hSession, hObject, pTemplate, ulCount);
}

VC_EXPORT CK_RV C_SetAttributeValue(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject,
                                    CK_ATTRIBUTE_PTR pTemplate, CK_ULONG ulCount) {
    VC_FORWARD(C_SetAttributeValue, hSession, hObject, pTemplate, ulCount);
}

VC_EXPORT CK_RV C_FindObjectsInit(CK_SESSION_HANDLE hSession, CK_ATTRIBUTE_PTR pTemplate, CK_ULONG ulCount) {
    VC_FORWARD(C_FindObjectsInit, hSession, pTemplate, ulCount);
}

VC_EXPORT CK_RV C_FindObjects(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE_PTR phObject,
                              CK_ULONG ulMaxObjectCount, CK_ULONG_PTR pulObjectCount) {
    VC_FORWARD(C_FindObjects, hSession, phObject, ulMaxObjectCount, pulObjectCount);
}

VC_EXPORT CK_RV C_FindObjectsFinal(CK_SESSION_HANDLE hSession) { VC_FORWARD(C_FindObjectsFinal, hSession); }

VC_EXPORT CK_RV C_EncryptInit(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism, CK_OBJECT_HANDLE hKey) {
    VC_FORWARD(C_EncryptInit, hSession, pMechanism, hKey);
}

VC_EXPORT CK_RV C_Encrypt(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pData, CK_ULONG ulDataLen,
                          CK_BYTE_PTR pEncryptedData, CK_ULONG_PTR pulEncryptedDataLen) {
    VC_FORWARD(C_Encrypt, hSession, pData, ulDataLen, pEncryptedData, pulEncryptedDataLen);
}

VC_EXPORT CK_RV C_EncryptUpdate(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pPart, CK_ULONG ulPartLen,
                                CK_BYTE_PTR pEncryptedPart, CK_ULONG_PTR pulEncryptedPartLen) {
    VC_FORWARD(C_EncryptUpdate, hSession, pPart, ulPartLen, pEncryptedPart, pulEncryptedPartLen);
}

VC_EXPORT CK_RV C_EncryptFinal(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pLastEncryptedPart,
                               CK_ULONG_PTR pulLastEncryptedPartLen) {
    VC_FORWARD(C_EncryptFinal, hSession, pLastEncryptedPart, pulLastEncryptedPartLen);
}

VC_EXPORT CK_RV C_DecryptInit(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism, CK_OBJECT_HANDLE hKey) {
    VC_FORWARD(C_DecryptInit, hSession, pMechanism, hKey);
}

VC_EXPORT CK_RV C_Decrypt(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pEncryptedData, CK_ULONG ulEncryptedDataLen,
                          CK_BYTE_PTR pData, CK_ULONG_PTR pulDataLen) {
    VC_FORWARD(C_Decrypt, hSession, pEncryptedData, ulEncryptedDataLen, pData, pulDataLen);
}

VC_EXPORT CK_RV C_DecryptUpdate(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pEncryptedPart,
                                CK_ULONG ulEncryptedPartLen, CK_BYTE_PTR pPart, CK_ULONG_PTR pulPartLen) {
    VC_FORWARD(C_DecryptUpdate, hSession, pEncryptedPart, ulEncryptedPartLen, pPart, pulPartLen);
}

VC_EXPORT CK_RV C_DecryptFinal(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pLastPart, CK_ULONG_PTR pulLastPartLen) {
    VC_FORWARD(C_DecryptFinal, hSession, pLastPart, pulLastPartLen);
}

VC_EXPORT CK_RV C_DigestInit(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism) {
    VC_FORWARD(C_DigestInit, hSession, pMechanism);
}

VC_EXPORT CK_RV C_Digest(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pData, CK_ULONG ulDataLen, CK_BYTE_PTR pDigest,
                         CK_ULONG_PTR pulDigestLen) {
    VC_FORWARD(C_Digest, hSession, pData, ulDataLen, pDigest, pulDigestLen);
}

VC_EXPORT CK_RV C_DigestUpdate(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pPart, CK_ULONG ulPartLen) {
    VC_FORWARD(C_DigestUpdate, hSession, pPart, ulPartLen);
}

VC_EXPORT CK_RV C_DigestKey(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hKey) {
    VC_FORWARD(C_DigestKey, hSession, hKey);
}

VC_EXPORT CK_RV C_DigestFinal(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pDigest, CK_ULONG_PTR pulDigestLen) {
    VC_FORWARD(C_DigestFinal, hSession, pDigest, pulDigestLen);
}

VC_EXPORT CK_RV C_SignInit(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism, CK_OBJECT_HANDLE hKey) {
    VC_FORWARD(C_SignInit, hSession, pMechanism, hKey);
}

VC_EXPORT CK_RV C_Sign(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pData, CK_ULONG ulDataLen, CK_BYTE_PTR pSignature,
                       CK_ULONG_PTR pulSignatureLen) {
    VC_FORWARD(C_Sign, hSession, pData, ulDataLen, pSignature, pulSignatureLen);
}

VC_EXPORT CK_RV C_SignUpdate(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pPart, CK_ULONG ulPartLen) {
    VC_FORWARD(C_SignUpdate, hSession, pPart, ulPartLen);
}

VC_EXPORT CK_RV C_SignFinal(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pSignature, CK_ULONG_PTR pulSignatureLen) {
    VC_FORWARD(C_SignFinal, hSession, pSignature, pulSignatureLen);
}

VC_EXPORT CK_RV C_SignRecoverInit(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism, CK_OBJECT_HANDLE hKey) {
    VC_FORWARD(C_SignRecoverInit, hSession, pMechanism, hKey);
}

VC_EXPORT CK_RV C_SignRecover(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pData, CK_ULONG ulDataLen,
                              CK_BYTE_PTR pSignature, CK_ULONG_PTR pulSignatureLen) {
    VC_FORWARD(C_SignRecover, hSession, pData, ulDataLen, pSignature, pulSignatureLen);
}

VC_EXPORT CK_RV C_VerifyInit(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism, CK_OBJECT_HANDLE hKey) {
    VC_FORWARD(C_VerifyInit, hSession, pMechanism, hKey);
}

VC_EXPORT CK_RV C_Verify(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pData, CK_ULONG ulDataLen,
                         CK_BYTE_PTR pSignature, CK_ULONG ulSignatureLen) {
    VC_FORWARD(C_Verify, hSession, pData, ulDataLen, pSignature, ulSignatureLen);
}

VC_EXPORT CK_RV C_VerifyUpdate(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pPart, CK_ULONG ulPartLen) {
    VC_FORWARD(C_VerifyUpdate, hSession, pPart, ulPartLen);
}

VC_EXPORT CK_RV C_VerifyFinal(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pSignature, CK_ULONG ulSignatureLen) {
    VC_FORWARD(C_VerifyFinal, hSession, pSignature, ulSignatureLen);
}

VC_EXPORT CK_RV C_VerifyRecoverInit(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism,
                                    CK_OBJECT_HANDLE hKey) {
    VC_FORWARD(C_VerifyRecoverInit, hSession, pMechanism, hKey);
}

VC_EXPORT CK_RV C_VerifyRecover(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pSignature, CK_ULONG ulSignatureLen,
                                CK_BYTE_PTR pData, CK_ULONG_PTR pulDataLen) {
    VC_FORWARD(C_VerifyRecover, hSession, pSignature, ulSignatureLen, pData, pulDataLen);
}

VC_EXPORT CK_RV C_DigestEncryptUpdate(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pPart, CK_ULONG ulPartLen,
                                      CK_BYTE_PTR pEncryptedPart, CK_ULONG_PTR pulEncryptedPartLen) {
    VC_FORWARD(C_DigestEncryptUpdate, hSession, pPart, ulPartLen, pEncryptedPart, pulEncryptedPartLen);
}

VC_EXPORT CK_RV C_DecryptDigestUpdate(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pEncryptedPart,
                                      CK_ULONG ulEncryptedPartLen, CK_BYTE_PTR pPart, CK_ULONG_PTR pulPartLen) {
    VC_FORWARD(C_DecryptDigestUpdate, hSession, pEncryptedPart, ulEncryptedPartLen, pPart, pulPartLen);
}

VC_EXPORT CK_RV C_SignEncryptUpdate(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pPart, CK_ULONG ulPartLen,
                                    CK_BYTE_PTR pEncryptedPart, CK_ULONG_PTR pulEncryptedPartLen) {
    VC_FORWARD(C_SignEncryptUpdate, hSession, pPart, ulPartLen, pEncryptedPart, pulEncryptedPartLen);
}

VC_EXPORT CK_RV C_DecryptVerifyUpdate(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pEncryptedPart,
                                      CK_ULONG ulEncryptedPartLen, CK_BYTE_PTR pPart, CK_ULONG_PTR pulPartLen) {
    VC_FORWARD(C_DecryptVerifyUpdate, hSession, pEncryptedPart, ulEncryptedPartLen, pPart, pulPartLen);
}

VC_EXPORT CK_RV C_GenerateKey(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism, CK_ATTRIBUTE_PTR pTemplate,
                              CK_ULONG ulCount, CK_OBJECT_HANDLE_PTR phKey) {
    VC_FORWARD(C_GenerateKey, hSession, pMechanism, pTemplate, ulCount, phKey);
}

VC_EXPORT CK_RV C_GenerateKeyPair(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism,
                                  CK_ATTRIBUTE_PTR pPublicKeyTemplate, CK_ULONG ulPublicKeyAttributeCount,
                                  CK_ATTRIBUTE_PTR pPrivateKeyTemplate, CK_ULONG ulPrivateKeyAttributeCount,
                                  CK_OBJECT_HANDLE_PTR phPublicKey, CK_OBJECT_HANDLE_PTR phPrivateKey) {
    VC_FORWARD(C_GenerateKeyPair, hSession, pMechanism, pPublicKeyTemplate, ulPublicKeyAttributeCount, pPrivateKeyTemplate, ulPrivateKeyAttributeCount, phPublicKey, phPrivateKey);
}

VC_EXPORT CK_RV C_WrapKey(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism, CK_OBJECT_HANDLE hWrappingKey,
                          CK_OBJECT_HANDLE hKey, CK_BYTE_PTR pWrappedKey, CK_ULONG_PTR pulWrappedKeyLen) {
    VC_FORWARD(C_WrapKey, hSession, pMechanism, hWrappingKey, hKey, pWrappedKey, pulWrappedKeyLen);
}

VC_EXPORT CK_RV C_UnwrapKey(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism,
                            CK_OBJECT_HANDLE hUnwrappingKey, CK_BYTE_PTR pWrappedKey, CK_ULONG ulWrappedKeyLen,
                            CK_ATTRIBUTE_PTR pTemplate, CK_ULONG ulAttributeCount, CK_OBJECT_HANDLE_PTR phKey) {
    VC_FORWARD(C_UnwrapKey, hSession, pMechanism, hUnwrappingKey, pWrappedKey, ulWrappedKeyLen, pTemplate, ulAttributeCount, phKey);
}

VC_EXPORT CK_RV C_DeriveKey(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism, CK_OBJECT_HANDLE hBaseKey,
                            CK_ATTRIBUTE_PTR pTemplate, CK_ULONG ulAttributeCount, CK_OBJECT_HANDLE_PTR phKey) {
    VC_FORWARD(C_DeriveKey, hSession, pMechanism, hBaseKey, pTemplate, ulAttributeCount, phKey);
}

VC_EXPORT CK_RV C_SeedRandom(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pSeed, CK_ULONG ulSeedLen) {
    VC_FORWARD(C_SeedRandom, hSession, pSeed, ulSeedLen);
}

VC_EXPORT CK_RV C_GenerateRandom(CK_SESSION_HANDLE hSession, CK_BYTE_PTR RandomData, CK_ULONG ulRandomLen) {
    VC_FORWARD(C_GenerateRandom, hSession, RandomData, ulRandomLen);
}

VC_EXPORT CK_RV C_GetFunctionStatus(CK_SESSION_HANDLE hSession) {
    VC_FORWARD(C_GetFunctionStatus, hSession);
}

VC_EXPORT CK_RV C_CancelFunction(CK_SESSION_HANDLE hSession) { VC_FORWARD(C_CancelFunction, hSession); }

VC_EXPORT CK_RV C_WaitForSlotEvent(CK_FLAGS flags, CK_SLOT_ID_PTR pSlot, CK_VOID_PTR pReserved) {
    VC_FORWARD(C_WaitForSlotEvent, flags, pSlot, pReserved);
}

// Vendor functions (not in the function table).

VC_EXPORT CK_RV C_GetSlotListEx(CK_BBOOL tokenPresent, CK_SLOT_ID_PTR pSlotList, CK_ULONG_PTR pulCount,
                                CK_BBOOL invalidateCache) {
    VC_FORWARD(C_GetSlotListEx, tokenPresent, pSlotList, pulCount, invalidateCache);
}

VC_EXPORT CK_RV C_GetReaderCardPair(CK_SLOT_ID slotID, Vellumcrest::Core::ReaderCardPair** ppPair) {
    VC_FORWARD(C_GetReaderCardPair, slotID, ppPair);
}

VC_EXPORT CK_RV C_PINPadPseudoLogin(CK_SESSION_HANDLE hSession) {
    VC_FORWARD(C_PINPadPseudoLogin, hSession);
}

VC_EXPORT CK_RV C_DeleteContainer(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject) {
    VC_FORWARD(C_DeleteContainer, hSession, hObject);
}

// The standard function table: filled once, at load time, and never written afterwards.
static CK_FUNCTION_LIST functionList = {
    .version = {2, 20},
    .C_Initialize = C_Initialize,
    .C_Finalize = C_Finalize,
    .C_GetInfo = C_GetInfo,
    .C_GetFunctionList = C_GetFunctionList,
    .C_GetSlotList = C_GetSlotList,
    .C_GetSlotInfo = C_GetSlotInfo,
    .C_GetTokenInfo = C_GetTokenInfo,
    .C_GetMechanismList = C_GetMechanismList,
    .C_GetMechanismInfo = C_GetMechanismInfo,
    .C_InitToken = C_InitToken,
    .C_InitPIN = C_InitPIN,
    .C_SetPIN = C_SetPIN,
    .C_OpenSession = C_OpenSession,
    .C_CloseSession = C_CloseSession,
    .C_CloseAllSessions = C_CloseAllSessions,
    .C_GetSessionInfo = C_GetSessionInfo,
    .C_GetOperationState = C_GetOperationState,
    .C_SetOperationState = C_SetOperationState,
    .C_Login = C_Login,
    .C_Logout = C_Logout,
    .C_CreateObject = C_CreateObject,
    .C_CopyObject = C_CopyObject,
    .C_DestroyObject = C_DestroyObject,
    .C_GetObjectSize = C_GetObjectSize,
    .C_GetAttributeValue = C_GetAttributeValue,
    .C_SetAttributeValue = C_SetAttributeValue,
    .C_FindObjectsInit = C_FindObjectsInit,
    .C_FindObjects = C_FindObjects,
    .C_FindObjectsFinal = C_FindObjectsFinal,
    .C_EncryptInit = C_EncryptInit,
    .C_Encrypt = C_Encrypt,
    .C_EncryptUpdate = C_EncryptUpdate,
    .C_EncryptFinal = C_EncryptFinal,
    .C_DecryptInit = C_DecryptInit,
    .C_Decrypt = C_Decrypt,
    .C_DecryptUpdate = C_DecryptUpdate,
    .C_DecryptFinal = C_DecryptFinal,
    .C_DigestInit = C_DigestInit,
    .C_Digest = C_Digest,
    .C_DigestUpdate = C_DigestUpdate,
    .C_DigestKey = C_DigestKey,
    .C_DigestFinal = C_DigestFinal,
    .C_SignInit = C_SignInit,
    .C_Sign = C_Sign,
    .C_SignUpdate = C_SignUpdate,
    .C_SignFinal = C_SignFinal,
    .C_SignRecoverInit = C_SignRecoverInit,
    .C_SignRecover = C_SignRecover,
    .C_VerifyInit = C_VerifyInit,
    .C_Verify = C_Verify,
    .C_VerifyUpdate = C_VerifyUpdate,
    .C_VerifyFinal = C_VerifyFinal,
    .C_VerifyRecoverInit = C_VerifyRecoverInit,
    .C_VerifyRecover = C_VerifyRecover,
    .C_DigestEncryptUpdate = C_DigestEncryptUpdate,
    .C_DecryptDigestUpdate = C_DecryptDigestUpdate,
    .C_SignEncryptUpdate = C_SignEncryptUpdate,
    .C_DecryptVerifyUpdate = C_DecryptVerifyUpdate,
    .C_GenerateKey = C_GenerateKey,
    .C_GenerateKeyPair = C_GenerateKeyPair,
    .C_WrapKey = C_WrapKey,
    .C_UnwrapKey = C_UnwrapKey,
    .C_DeriveKey = C_DeriveKey,
    .C_SeedRandom = C_SeedRandom,
    .C_GenerateRandom = C_GenerateRandom,
    .C_GetFunctionStatus = C_GetFunctionStatus,
    .C_CancelFunction = C_CancelFunction,
    .C_WaitForSlotEvent = C_WaitForSlotEvent,
};

// No log line, no initialisation needed.
VC_EXPORT CK_RV C_GetFunctionList(CK_FUNCTION_LIST_PTR_PTR ppFunctionList) {
    if (ppFunctionList == nullptr) return CKR_ARGUMENTS_BAD;
    *ppFunctionList = &functionList;
    return CKR_OK;
}

}  // extern "C"
