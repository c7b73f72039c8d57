// Functions the module does not offer: multi-part encryption and decryption (and signing
// and verification unless ExtendedMechanisms is on, see MultiPart.cpp), the recover forms,
// dual-function calls, symmetric keys, wrapping, derivation, random numbers,
// operation state and the legacy parallel calls. Each logs its call and answers
// CKR_FUNCTION_NOT_SUPPORTED without looking at any state or argument.
#include <cstdint>

#include "module/Globals.h"
#include "module/Pkcs11Provider.h"

namespace Vellumcrest {
namespace Pkcs11 {

namespace {

CK_RV NotSupported(const char* method) { return LogResult(method, CKR_FUNCTION_NOT_SUPPORTED); }

void* Ptr(const void* pointer) { return const_cast<void*>(pointer); }

}  // namespace

CK_RV Pkcs11Provider::C_CancelFunction(CK_SESSION_HANDLE hSession) {
    GetPkcs11Log()->Info("Pkcs11Provider::C_CancelFunction(0x%lX)", hSession);
    return NotSupported("C_CancelFunction");
}

CK_RV Pkcs11Provider::C_GetFunctionStatus(CK_SESSION_HANDLE hSession) {
    GetPkcs11Log()->Info("Pkcs11Provider::C_GetFunctionStatus(0x%lX)", hSession);
    return NotSupported("C_GetFunctionStatus");
}

CK_RV Pkcs11Provider::C_GetOperationState(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pOperationState,
                                          CK_ULONG_PTR pulOperationStateLen) {
    GetPkcs11Log()->Info("Pkcs11Provider::C_GetOperationState(0x%lX, %p, %p)", hSession, Ptr(pOperationState),
                         Ptr(pulOperationStateLen));
    return NotSupported("C_GetOperationState");
}

CK_RV Pkcs11Provider::C_SetOperationState(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pOperationState,
                                          CK_ULONG ulOperationStateLen, CK_OBJECT_HANDLE hEncryptionKey,
                                          CK_OBJECT_HANDLE hAuthenticationKey) {
    // Six fields for five arguments: the two key handles fill the fourth and fifth, the
    // sixth always shows 0.
    GetPkcs11Log()->Info("Pkcs11Provider::C_SetOperationState(0x%lX, %p, %lu, %p, 0x%lX, 0x%lX)", hSession,
                         Ptr(pOperationState), ulOperationStateLen, reinterpret_cast<void*>(hEncryptionKey),
                         hAuthenticationKey, 0UL);
    return NotSupported("C_SetOperationState");
}

CK_RV Pkcs11Provider::C_GenerateKey(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism,
                                    CK_ATTRIBUTE_PTR pTemplate, CK_ULONG ulCount, CK_OBJECT_HANDLE_PTR phKey) {
    GetPkcs11Log()->Info("Pkcs11Provider::C_GenerateKey(0x%lX, %p, %p, %lu, %p)", hSession, Ptr(pMechanism),
                         Ptr(pTemplate), ulCount, Ptr(phKey));
    return NotSupported("C_GenerateKey");
}

CK_RV Pkcs11Provider::C_WrapKey(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism,
                                CK_OBJECT_HANDLE hWrappingKey, CK_OBJECT_HANDLE hKey, CK_BYTE_PTR pWrappedKey,
                                CK_ULONG_PTR pulWrappedKeyLen) {
    GetPkcs11Log()->Info("Pkcs11Provider::C_WrapKey(0x%lX, %p, 0x%lX, 0x%lX, %p, %p)", hSession,
                         Ptr(pMechanism), hWrappingKey, hKey, Ptr(pWrappedKey), Ptr(pulWrappedKeyLen));
    return NotSupported("C_WrapKey");
}

CK_RV Pkcs11Provider::C_UnwrapKey(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism,
                                  CK_OBJECT_HANDLE hUnwrappingKey, CK_BYTE_PTR pWrappedKey, CK_ULONG ulWrappedKeyLen,
                                  CK_ATTRIBUTE_PTR pTemplate, CK_ULONG ulAttributeCount, CK_OBJECT_HANDLE_PTR phKey) {
    GetPkcs11Log()->Info("Pkcs11Provider::C_UnwrapKey(0x%lX, %p, 0x%lX, %p, %lu, %p, %lu, %p)", hSession,
                         Ptr(pMechanism), hUnwrappingKey, Ptr(pWrappedKey), ulWrappedKeyLen, Ptr(pTemplate),
                         ulAttributeCount, Ptr(phKey));
    return NotSupported("C_UnwrapKey");
}

CK_RV Pkcs11Provider::C_DeriveKey(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism,
                                  CK_OBJECT_HANDLE hBaseKey, CK_ATTRIBUTE_PTR pTemplate, CK_ULONG ulAttributeCount,
                                  CK_OBJECT_HANDLE_PTR phKey) {
    // The mechanism is not logged; each value is printed with a conversion of its own width.
    GetPkcs11Log()->Info("Pkcs11Provider::C_DeriveKey(0x%lX, %p, 0x%lX, %lu, %p)", hSession,
                         reinterpret_cast<void*>(hBaseKey), static_cast<unsigned long>(reinterpret_cast<uintptr_t>(pTemplate)),
                         ulAttributeCount, Ptr(phKey));
    return NotSupported("C_DeriveKey");
}

CK_RV Pkcs11Provider::C_SeedRandom(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pSeed, CK_ULONG ulSeedLen) {
    GetPkcs11Log()->Info("Pkcs11Provider::C_SeedRandom(0x%lX, %p, %lu)", hSession, Ptr(pSeed), ulSeedLen);
    return NotSupported("C_SeedRandom");
}

CK_RV Pkcs11Provider::C_GenerateRandom(CK_SESSION_HANDLE hSession, CK_BYTE_PTR RandomData, CK_ULONG ulRandomLen) {
    GetPkcs11Log()->Info("Pkcs11Provider::C_GenerateRandom(0x%lX, %p, %lu)", hSession, Ptr(RandomData),
                         ulRandomLen);
    return NotSupported("C_GenerateRandom");
}

CK_RV Pkcs11Provider::C_SignRecoverInit(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism,
                                        CK_OBJECT_HANDLE hKey) {
    GetPkcs11Log()->Info("Pkcs11Provider::C_SignRecoverInit(0x%lX, %p, 0x%lX)", hSession, Ptr(pMechanism), hKey);
    return NotSupported("C_SignRecoverInit");
}

CK_RV Pkcs11Provider::C_SignRecover(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pData, CK_ULONG ulDataLen,
                                    CK_BYTE_PTR pSignature, CK_ULONG_PTR pulSignatureLen) {
    GetPkcs11Log()->Info("Pkcs11Provider::C_SignRecover(0x%lX, %p, %lu, %p, %p)", hSession, Ptr(pData),
                         ulDataLen, Ptr(pSignature), Ptr(pulSignatureLen));
    return NotSupported("C_SignRecover");
}

CK_RV Pkcs11Provider::C_VerifyRecoverInit(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism,
                                          CK_OBJECT_HANDLE hKey) {
    GetPkcs11Log()->Info("Pkcs11Provider::C_VerifyRecoverInit(0x%lX, %p, 0x%lX)", hSession, Ptr(pMechanism),
                         hKey);
    return NotSupported("C_VerifyRecoverInit");
}

CK_RV Pkcs11Provider::C_VerifyRecover(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pSignature, CK_ULONG ulSignatureLen,
                                      CK_BYTE_PTR pData, CK_ULONG_PTR pulDataLen) {
    GetPkcs11Log()->Info("Pkcs11Provider::C_VerifyRecover(0x%lX, %p, %lu, %p, %p)", hSession, Ptr(pSignature),
                         ulSignatureLen, Ptr(pData), Ptr(pulDataLen));
    return NotSupported("C_VerifyRecover");
}

CK_RV Pkcs11Provider::C_EncryptUpdate(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pPart, CK_ULONG ulPartLen,
                                      CK_BYTE_PTR pEncryptedPart, CK_ULONG_PTR pulEncryptedPartLen) {
    GetPkcs11Log()->Info("Pkcs11Provider::C_EncryptUpdate(0x%lX, %p, %lu, %p, %p)", hSession, Ptr(pPart),
                         ulPartLen, Ptr(pEncryptedPart), Ptr(pulEncryptedPartLen));
    return NotSupported("C_EncryptUpdate");
}

CK_RV Pkcs11Provider::C_EncryptFinal(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pLastEncryptedPart,
                                     CK_ULONG_PTR pulLastEncryptedPartLen) {
    GetPkcs11Log()->Info("Pkcs11Provider::C_EncryptFinal(0x%lX, %p, %p)", hSession, Ptr(pLastEncryptedPart),
                         Ptr(pulLastEncryptedPartLen));
    return NotSupported("C_EncryptFinal");
}

CK_RV Pkcs11Provider::C_DecryptUpdate(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pEncryptedPart,
                                      CK_ULONG ulEncryptedPartLen, CK_BYTE_PTR pPart, CK_ULONG_PTR pulPartLen) {
    GetPkcs11Log()->Info("Pkcs11Provider::C_DecryptUpdate(0x%lX, %p, %lu, %p, %p)", hSession,
                         Ptr(pEncryptedPart), ulEncryptedPartLen, Ptr(pPart), Ptr(pulPartLen));
    return NotSupported("C_DecryptUpdate");
}

CK_RV Pkcs11Provider::C_DecryptFinal(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pLastPart, CK_ULONG_PTR pulLastPartLen) {
    GetPkcs11Log()->Info("Pkcs11Provider::C_DecryptFinal(0x%lX, %p, %p)", hSession, Ptr(pLastPart),
                         Ptr(pulLastPartLen));
    return NotSupported("C_DecryptFinal");
}

CK_RV Pkcs11Provider::C_DigestEncryptUpdate(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pPart, CK_ULONG ulPartLen,
                                            CK_BYTE_PTR pEncryptedPart, CK_ULONG_PTR pulEncryptedPartLen) {
    GetPkcs11Log()->Info("Pkcs11Provider::C_DigestEncryptUpdate(0x%lX, %p, %lu, %p, %p)", hSession,
                         Ptr(pPart), ulPartLen, Ptr(pEncryptedPart), Ptr(pulEncryptedPartLen));
    return NotSupported("C_DigestEncryptUpdate");
}

CK_RV Pkcs11Provider::C_DecryptDigestUpdate(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pEncryptedPart,
                                            CK_ULONG ulEncryptedPartLen, CK_BYTE_PTR pPart,
                                            CK_ULONG_PTR pulPartLen) {
    GetPkcs11Log()->Info("Pkcs11Provider::C_DecryptDigestUpdate(0x%lX, %p, %lu, %p, %p)", hSession,
                         Ptr(pEncryptedPart), ulEncryptedPartLen, Ptr(pPart), Ptr(pulPartLen));
    return NotSupported("C_DecryptDigestUpdate");
}

CK_RV Pkcs11Provider::C_SignEncryptUpdate(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pPart, CK_ULONG ulPartLen,
                                          CK_BYTE_PTR pEncryptedPart, CK_ULONG_PTR pulEncryptedPartLen) {
    GetPkcs11Log()->Info("Pkcs11Provider::C_SignEncryptUpdate(0x%lX, %p, %lu, %p, %p)", hSession, Ptr(pPart),
                         ulPartLen, Ptr(pEncryptedPart), Ptr(pulEncryptedPartLen));
    return NotSupported("C_SignEncryptUpdate");
}

CK_RV Pkcs11Provider::C_DecryptVerifyUpdate(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pEncryptedPart,
                                            CK_ULONG ulEncryptedPartLen, CK_BYTE_PTR pPart,
                                            CK_ULONG_PTR pulPartLen) {
    GetPkcs11Log()->Info("Pkcs11Provider::C_DecryptVerifyUpdate(0x%lX, %p, %lu, %p, %p)", hSession,
                         Ptr(pEncryptedPart), ulEncryptedPartLen, Ptr(pPart), Ptr(pulPartLen));
    return NotSupported("C_DecryptVerifyUpdate");
}

}  // namespace Pkcs11
}  // namespace Vellumcrest
