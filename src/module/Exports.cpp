// The exported C functions: each forwards its arguments unchanged to the one provider.
#include "module/Globals.h"
#include "module/Pkcs11Provider.h"
#include "vellumcrest/pkcs11.h"

using Vellumcrest::Pkcs11::GetProvider;

extern "C" {

VC_EXPORT CK_RV C_Initialize(CK_VOID_PTR pInitArgs) { return GetProvider()->C_Initialize(pInitArgs); }

VC_EXPORT CK_RV C_Finalize(CK_VOID_PTR pReserved) { return GetProvider()->C_Finalize(pReserved); }

VC_EXPORT CK_RV C_GetInfo(CK_INFO_PTR pInfo) { return GetProvider()->C_GetInfo(pInfo); }

VC_EXPORT CK_RV C_GetSlotList(CK_BBOOL tokenPresent, CK_SLOT_ID_PTR pSlotList, CK_ULONG_PTR pulCount) {
    return GetProvider()->C_GetSlotList(tokenPresent, pSlotList, pulCount);
}

VC_EXPORT CK_RV C_GetSlotInfo(CK_SLOT_ID slotID, CK_SLOT_INFO_PTR pInfo) {
    return GetProvider()->C_GetSlotInfo(slotID, pInfo);
}

VC_EXPORT CK_RV C_GetTokenInfo(CK_SLOT_ID slotID, CK_TOKEN_INFO_PTR pInfo) {
    return GetProvider()->C_GetTokenInfo(slotID, pInfo);
}

VC_EXPORT CK_RV C_GetMechanismList(CK_SLOT_ID slotID, CK_MECHANISM_TYPE_PTR pMechanismList,
                                   CK_ULONG_PTR pulCount) {
    return GetProvider()->C_GetMechanismList(slotID, pMechanismList, pulCount);
}

VC_EXPORT CK_RV C_GetMechanismInfo(CK_SLOT_ID slotID, CK_MECHANISM_TYPE type, CK_MECHANISM_INFO_PTR pInfo) {
    return GetProvider()->C_GetMechanismInfo(slotID, type, pInfo);
}

VC_EXPORT CK_RV C_InitToken(CK_SLOT_ID slotID, CK_UTF8CHAR_PTR pPin, CK_ULONG ulPinLen, CK_UTF8CHAR_PTR pLabel) {
    return GetProvider()->C_InitToken(slotID, pPin, ulPinLen, pLabel);
}

VC_EXPORT CK_RV C_InitPIN(CK_SESSION_HANDLE hSession, CK_UTF8CHAR_PTR pPin, CK_ULONG ulPinLen) {
    return GetProvider()->C_InitPIN(hSession, pPin, ulPinLen);
}

VC_EXPORT CK_RV C_SetPIN(CK_SESSION_HANDLE hSession, CK_UTF8CHAR_PTR pOldPin, CK_ULONG ulOldLen,
                         CK_UTF8CHAR_PTR pNewPin, CK_ULONG ulNewLen) {
    return GetProvider()->C_SetPIN(hSession, pOldPin, ulOldLen, pNewPin, ulNewLen);
}

VC_EXPORT CK_RV C_OpenSession(CK_SLOT_ID slotID, CK_FLAGS flags, CK_VOID_PTR pApplication, CK_NOTIFY Notify,
                              CK_SESSION_HANDLE_PTR phSession) {
    return GetProvider()->C_OpenSession(slotID, flags, pApplication, Notify, phSession);
}

VC_EXPORT CK_RV C_CloseSession(CK_SESSION_HANDLE hSession) { return GetProvider()->C_CloseSession(hSession); }

VC_EXPORT CK_RV C_CloseAllSessions(CK_SLOT_ID slotID) { return GetProvider()->C_CloseAllSessions(slotID); }

VC_EXPORT CK_RV C_GetSessionInfo(CK_SESSION_HANDLE hSession, CK_SESSION_INFO_PTR pInfo) {
    return GetProvider()->C_GetSessionInfo(hSession, pInfo);
}

VC_EXPORT CK_RV C_GetOperationState(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pOperationState,
                                    CK_ULONG_PTR pulOperationStateLen) {
    return GetProvider()->C_GetOperationState(hSession, pOperationState, pulOperationStateLen);
}

VC_EXPORT CK_RV C_SetOperationState(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pOperationState,
                                    CK_ULONG ulOperationStateLen, CK_OBJECT_HANDLE hEncryptionKey,
                                    CK_OBJECT_HANDLE hAuthenticationKey) {
    return GetProvider()->C_SetOperationState(hSession, pOperationState, ulOperationStateLen, hEncryptionKey,
                                              hAuthenticationKey);
}

VC_EXPORT CK_RV C_Login(CK_SESSION_HANDLE hSession, CK_USER_TYPE userType, CK_UTF8CHAR_PTR pPin,
                        CK_ULONG ulPinLen) {
    return GetProvider()->C_Login(hSession, userType, pPin, ulPinLen);
}

VC_EXPORT CK_RV C_Logout(CK_SESSION_HANDLE hSession) { return GetProvider()->C_Logout(hSession); }

VC_EXPORT CK_RV C_CreateObject(CK_SESSION_HANDLE hSession, CK_ATTRIBUTE_PTR pTemplate, CK_ULONG ulCount,
                               CK_OBJECT_HANDLE_PTR phObject) {
    return GetProvider()->C_CreateObject(hSession, pTemplate, ulCount, phObject);
}

VC_EXPORT CK_RV C_CopyObject(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject, CK_ATTRIBUTE_PTR pTemplate,
                             CK_ULONG ulCount, CK_OBJECT_HANDLE_PTR phNewObject) {
    return GetProvider()->C_CopyObject(hSession, hObject, pTemplate, ulCount, phNewObject);
}

VC_EXPORT CK_RV C_DestroyObject(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject) {
    return GetProvider()->C_DestroyObject(hSession, hObject);
}

VC_EXPORT CK_RV C_GetObjectSize(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject, CK_ULONG_PTR pulSize) {
    return GetProvider()->C_GetObjectSize(hSession, hObject, pulSize);
}

VC_EXPORT CK_RV C_GetAttributeValue(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject,
                                    CK_ATTRIBUTE_PTR pTemplate, CK_ULONG ulCount) {
    return GetProvider()->C_GetAttributeValue(hSession, hObject, pTemplate, ulCount);
}

VC_EXPORT CK_RV C_SetAttributeValue(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject,
                                    CK_ATTRIBUTE_PTR pTemplate, CK_ULONG ulCount) {
    return GetProvider()->C_SetAttributeValue(hSession, hObject, pTemplate, ulCount);
}

VC_EXPORT CK_RV C_FindObjectsInit(CK_SESSION_HANDLE hSession, CK_ATTRIBUTE_PTR pTemplate, CK_ULONG ulCount) {
    return GetProvider()->C_FindObjectsInit(hSession, pTemplate, ulCount);
}

VC_EXPORT CK_RV C_FindObjects(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE_PTR phObject,
                              CK_ULONG ulMaxObjectCount, CK_ULONG_PTR pulObjectCount) {
    return GetProvider()->C_FindObjects(hSession, phObject, ulMaxObjectCount, pulObjectCount);
}

VC_EXPORT CK_RV C_FindObjectsFinal(CK_SESSION_HANDLE hSession) { return GetProvider()->C_FindObjectsFinal(hSession); }

VC_EXPORT CK_RV C_EncryptInit(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism, CK_OBJECT_HANDLE hKey) {
    return GetProvider()->C_EncryptInit(hSession, pMechanism, hKey);
}

VC_EXPORT CK_RV C_Encrypt(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pData, CK_ULONG ulDataLen,
                          CK_BYTE_PTR pEncryptedData, CK_ULONG_PTR pulEncryptedDataLen) {
    return GetProvider()->C_Encrypt(hSession, pData, ulDataLen, pEncryptedData, pulEncryptedDataLen);
}

VC_EXPORT CK_RV C_EncryptUpdate(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pPart, CK_ULONG ulPartLen,
                                CK_BYTE_PTR pEncryptedPart, CK_ULONG_PTR pulEncryptedPartLen) {
    return GetProvider()->C_EncryptUpdate(hSession, pPart, ulPartLen, pEncryptedPart, pulEncryptedPartLen);
}

VC_EXPORT CK_RV C_EncryptFinal(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pLastEncryptedPart,
                               CK_ULONG_PTR pulLastEncryptedPartLen) {
    return GetProvider()->C_EncryptFinal(hSession, pLastEncryptedPart, pulLastEncryptedPartLen);
}

VC_EXPORT CK_RV C_DecryptInit(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism, CK_OBJECT_HANDLE hKey) {
    return GetProvider()->C_DecryptInit(hSession, pMechanism, hKey);
}

VC_EXPORT CK_RV C_Decrypt(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pEncryptedData, CK_ULONG ulEncryptedDataLen,
                          CK_BYTE_PTR pData, CK_ULONG_PTR pulDataLen) {
    return GetProvider()->C_Decrypt(hSession, pEncryptedData, ulEncryptedDataLen, pData, pulDataLen);
}

VC_EXPORT CK_RV C_DecryptUpdate(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pEncryptedPart,
                                CK_ULONG ulEncryptedPartLen, CK_BYTE_PTR pPart, CK_ULONG_PTR pulPartLen) {
    return GetProvider()->C_DecryptUpdate(hSession, pEncryptedPart, ulEncryptedPartLen, pPart, pulPartLen);
}

VC_EXPORT CK_RV C_DecryptFinal(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pLastPart, CK_ULONG_PTR pulLastPartLen) {
    return GetProvider()->C_DecryptFinal(hSession, pLastPart, pulLastPartLen);
}

VC_EXPORT CK_RV C_DigestInit(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism) {
    return GetProvider()->C_DigestInit(hSession, pMechanism);
}

VC_EXPORT CK_RV C_Digest(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pData, CK_ULONG ulDataLen, CK_BYTE_PTR pDigest,
                         CK_ULONG_PTR pulDigestLen) {
    return GetProvider()->C_Digest(hSession, pData, ulDataLen, pDigest, pulDigestLen);
}

VC_EXPORT CK_RV C_DigestUpdate(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pPart, CK_ULONG ulPartLen) {
    return GetProvider()->C_DigestUpdate(hSession, pPart, ulPartLen);
}

VC_EXPORT CK_RV C_DigestKey(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hKey) {
    return GetProvider()->C_DigestKey(hSession, hKey);
}

VC_EXPORT CK_RV C_DigestFinal(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pDigest, CK_ULONG_PTR pulDigestLen) {
    return GetProvider()->C_DigestFinal(hSession, pDigest, pulDigestLen);
}

VC_EXPORT CK_RV C_SignInit(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism, CK_OBJECT_HANDLE hKey) {
    return GetProvider()->C_SignInit(hSession, pMechanism, hKey);
}

VC_EXPORT CK_RV C_Sign(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pData, CK_ULONG ulDataLen, CK_BYTE_PTR pSignature,
                       CK_ULONG_PTR pulSignatureLen) {
    return GetProvider()->C_Sign(hSession, pData, ulDataLen, pSignature, pulSignatureLen);
}

VC_EXPORT CK_RV C_SignUpdate(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pPart, CK_ULONG ulPartLen) {
    return GetProvider()->C_SignUpdate(hSession, pPart, ulPartLen);
}

VC_EXPORT CK_RV C_SignFinal(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pSignature, CK_ULONG_PTR pulSignatureLen) {
    return GetProvider()->C_SignFinal(hSession, pSignature, pulSignatureLen);
}

VC_EXPORT CK_RV C_SignRecoverInit(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism, CK_OBJECT_HANDLE hKey) {
    return GetProvider()->C_SignRecoverInit(hSession, pMechanism, hKey);
}

VC_EXPORT CK_RV C_SignRecover(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pData, CK_ULONG ulDataLen,
                              CK_BYTE_PTR pSignature, CK_ULONG_PTR pulSignatureLen) {
    return GetProvider()->C_SignRecover(hSession, pData, ulDataLen, pSignature, pulSignatureLen);
}

VC_EXPORT CK_RV C_VerifyInit(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism, CK_OBJECT_HANDLE hKey) {
    return GetProvider()->C_VerifyInit(hSession, pMechanism, hKey);
}

VC_EXPORT CK_RV C_Verify(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pData, CK_ULONG ulDataLen,
                         CK_BYTE_PTR pSignature, CK_ULONG ulSignatureLen) {
    return GetProvider()->C_Verify(hSession, pData, ulDataLen, pSignature, ulSignatureLen);
}

VC_EXPORT CK_RV C_VerifyUpdate(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pPart, CK_ULONG ulPartLen) {
    return GetProvider()->C_VerifyUpdate(hSession, pPart, ulPartLen);
}

VC_EXPORT CK_RV C_VerifyFinal(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pSignature, CK_ULONG ulSignatureLen) {
    return GetProvider()->C_VerifyFinal(hSession, pSignature, ulSignatureLen);
}

VC_EXPORT CK_RV C_VerifyRecoverInit(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism,
                                    CK_OBJECT_HANDLE hKey) {
    return GetProvider()->C_VerifyRecoverInit(hSession, pMechanism, hKey);
}

VC_EXPORT CK_RV C_VerifyRecover(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pSignature, CK_ULONG ulSignatureLen,
                                CK_BYTE_PTR pData, CK_ULONG_PTR pulDataLen) {
    return GetProvider()->C_VerifyRecover(hSession, pSignature, ulSignatureLen, pData, pulDataLen);
}

VC_EXPORT CK_RV C_DigestEncryptUpdate(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pPart, CK_ULONG ulPartLen,
                                      CK_BYTE_PTR pEncryptedPart, CK_ULONG_PTR pulEncryptedPartLen) {
    return GetProvider()->C_DigestEncryptUpdate(hSession, pPart, ulPartLen, pEncryptedPart, pulEncryptedPartLen);
}

VC_EXPORT CK_RV C_DecryptDigestUpdate(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pEncryptedPart,
                                      CK_ULONG ulEncryptedPartLen, CK_BYTE_PTR pPart, CK_ULONG_PTR pulPartLen) {
    return GetProvider()->C_DecryptDigestUpdate(hSession, pEncryptedPart, ulEncryptedPartLen, pPart, pulPartLen);
}

VC_EXPORT CK_RV C_SignEncryptUpdate(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pPart, CK_ULONG ulPartLen,
                                    CK_BYTE_PTR pEncryptedPart, CK_ULONG_PTR pulEncryptedPartLen) {
    return GetProvider()->C_SignEncryptUpdate(hSession, pPart, ulPartLen, pEncryptedPart, pulEncryptedPartLen);
}

VC_EXPORT CK_RV C_DecryptVerifyUpdate(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pEncryptedPart,
                                      CK_ULONG ulEncryptedPartLen, CK_BYTE_PTR pPart, CK_ULONG_PTR pulPartLen) {
    return GetProvider()->C_DecryptVerifyUpdate(hSession, pEncryptedPart, ulEncryptedPartLen, pPart, pulPartLen);
}

VC_EXPORT CK_RV C_GenerateKey(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism, CK_ATTRIBUTE_PTR pTemplate,
                              CK_ULONG ulCount, CK_OBJECT_HANDLE_PTR phKey) {
    return GetProvider()->C_GenerateKey(hSession, pMechanism, pTemplate, ulCount, phKey);
}

VC_EXPORT CK_RV C_GenerateKeyPair(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism,
                                  CK_ATTRIBUTE_PTR pPublicKeyTemplate, CK_ULONG ulPublicKeyAttributeCount,
                                  CK_ATTRIBUTE_PTR pPrivateKeyTemplate, CK_ULONG ulPrivateKeyAttributeCount,
                                  CK_OBJECT_HANDLE_PTR phPublicKey, CK_OBJECT_HANDLE_PTR phPrivateKey) {
    return GetProvider()->C_GenerateKeyPair(hSession, pMechanism, pPublicKeyTemplate, ulPublicKeyAttributeCount,
                                            pPrivateKeyTemplate, ulPrivateKeyAttributeCount, phPublicKey,
                                            phPrivateKey);
}

VC_EXPORT CK_RV C_WrapKey(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism, CK_OBJECT_HANDLE hWrappingKey,
                          CK_OBJECT_HANDLE hKey, CK_BYTE_PTR pWrappedKey, CK_ULONG_PTR pulWrappedKeyLen) {
    return GetProvider()->C_WrapKey(hSession, pMechanism, hWrappingKey, hKey, pWrappedKey, pulWrappedKeyLen);
}

VC_EXPORT CK_RV C_UnwrapKey(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism,
                            CK_OBJECT_HANDLE hUnwrappingKey, CK_BYTE_PTR pWrappedKey, CK_ULONG ulWrappedKeyLen,
                            CK_ATTRIBUTE_PTR pTemplate, CK_ULONG ulAttributeCount, CK_OBJECT_HANDLE_PTR phKey) {
    return GetProvider()->C_UnwrapKey(hSession, pMechanism, hUnwrappingKey, pWrappedKey, ulWrappedKeyLen, pTemplate,
                                      ulAttributeCount, phKey);
}

VC_EXPORT CK_RV C_DeriveKey(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism, CK_OBJECT_HANDLE hBaseKey,
                            CK_ATTRIBUTE_PTR pTemplate, CK_ULONG ulAttributeCount, CK_OBJECT_HANDLE_PTR phKey) {
    return GetProvider()->C_DeriveKey(hSession, pMechanism, hBaseKey, pTemplate, ulAttributeCount, phKey);
}

VC_EXPORT CK_RV C_SeedRandom(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pSeed, CK_ULONG ulSeedLen) {
    return GetProvider()->C_SeedRandom(hSession, pSeed, ulSeedLen);
}

VC_EXPORT CK_RV C_GenerateRandom(CK_SESSION_HANDLE hSession, CK_BYTE_PTR RandomData, CK_ULONG ulRandomLen) {
    return GetProvider()->C_GenerateRandom(hSession, RandomData, ulRandomLen);
}

VC_EXPORT CK_RV C_GetFunctionStatus(CK_SESSION_HANDLE hSession) {
    return GetProvider()->C_GetFunctionStatus(hSession);
}

VC_EXPORT CK_RV C_CancelFunction(CK_SESSION_HANDLE hSession) { return GetProvider()->C_CancelFunction(hSession); }

VC_EXPORT CK_RV C_WaitForSlotEvent(CK_FLAGS flags, CK_SLOT_ID_PTR pSlot, CK_VOID_PTR pReserved) {
    return GetProvider()->C_WaitForSlotEvent(flags, pSlot, pReserved);
}

// Vendor functions (not in the function table).

VC_EXPORT CK_RV C_GetSlotListEx(CK_BBOOL tokenPresent, CK_SLOT_ID_PTR pSlotList, CK_ULONG_PTR pulCount,
                                CK_BBOOL invalidateCache) {
    return GetProvider()->C_GetSlotListEx(tokenPresent, pSlotList, pulCount, invalidateCache);
}

VC_EXPORT CK_RV C_GetReaderCardPair(CK_SLOT_ID slotID, Vellumcrest::Core::ReaderCardPair** ppPair) {
    return GetProvider()->C_GetReaderCardPair(slotID, ppPair);
}

VC_EXPORT CK_RV C_PINPadPseudoLogin(CK_SESSION_HANDLE hSession) {
    return GetProvider()->C_PINPadPseudoLogin(hSession);
}

VC_EXPORT CK_RV C_DeleteContainer(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject) {
    return GetProvider()->C_DeleteContainer(hSession, hObject);
}

// The standard function table, filled on every call. No log line, no initialisation needed.
VC_EXPORT CK_RV C_GetFunctionList(CK_FUNCTION_LIST_PTR_PTR ppFunctionList) {
    static CK_FUNCTION_LIST functionList;

    functionList.version.major = 2;
    functionList.version.minor = 20;
#define VC_FILL(name) functionList.name = name
    VC_FILL(C_Initialize);
    VC_FILL(C_Finalize);
    VC_FILL(C_GetInfo);
    VC_FILL(C_GetFunctionList);
    VC_FILL(C_GetSlotList);
    VC_FILL(C_GetSlotInfo);
    VC_FILL(C_GetTokenInfo);
    VC_FILL(C_GetMechanismList);
    VC_FILL(C_GetMechanismInfo);
    VC_FILL(C_InitToken);
    VC_FILL(C_InitPIN);
    VC_FILL(C_SetPIN);
    VC_FILL(C_OpenSession);
    VC_FILL(C_CloseSession);
    VC_FILL(C_CloseAllSessions);
    VC_FILL(C_GetSessionInfo);
    VC_FILL(C_GetOperationState);
    VC_FILL(C_SetOperationState);
    VC_FILL(C_Login);
    VC_FILL(C_Logout);
    VC_FILL(C_CreateObject);
    VC_FILL(C_CopyObject);
    VC_FILL(C_DestroyObject);
    VC_FILL(C_GetObjectSize);
    VC_FILL(C_GetAttributeValue);
    VC_FILL(C_SetAttributeValue);
    VC_FILL(C_FindObjectsInit);
    VC_FILL(C_FindObjects);
    VC_FILL(C_FindObjectsFinal);
    VC_FILL(C_EncryptInit);
    VC_FILL(C_Encrypt);
    VC_FILL(C_EncryptUpdate);
    VC_FILL(C_EncryptFinal);
    VC_FILL(C_DecryptInit);
    VC_FILL(C_Decrypt);
    VC_FILL(C_DecryptUpdate);
    VC_FILL(C_DecryptFinal);
    VC_FILL(C_DigestInit);
    VC_FILL(C_Digest);
    VC_FILL(C_DigestUpdate);
    VC_FILL(C_DigestKey);
    VC_FILL(C_DigestFinal);
    VC_FILL(C_SignInit);
    VC_FILL(C_Sign);
    VC_FILL(C_SignUpdate);
    VC_FILL(C_SignFinal);
    VC_FILL(C_SignRecoverInit);
    VC_FILL(C_SignRecover);
    VC_FILL(C_VerifyInit);
    VC_FILL(C_Verify);
    VC_FILL(C_VerifyUpdate);
    VC_FILL(C_VerifyFinal);
    VC_FILL(C_VerifyRecoverInit);
    VC_FILL(C_VerifyRecover);
    VC_FILL(C_DigestEncryptUpdate);
    VC_FILL(C_DecryptDigestUpdate);
    VC_FILL(C_SignEncryptUpdate);
    VC_FILL(C_DecryptVerifyUpdate);
    VC_FILL(C_GenerateKey);
    VC_FILL(C_GenerateKeyPair);
    VC_FILL(C_WrapKey);
    VC_FILL(C_UnwrapKey);
    VC_FILL(C_DeriveKey);
    VC_FILL(C_SeedRandom);
    VC_FILL(C_GenerateRandom);
    VC_FILL(C_GetFunctionStatus);
    VC_FILL(C_CancelFunction);
    VC_FILL(C_WaitForSlotEvent);
#undef VC_FILL

    if (ppFunctionList == nullptr) return CKR_ARGUMENTS_BAD;
    *ppFunctionList = &functionList;
    return CKR_OK;
}

}  // extern "C"
