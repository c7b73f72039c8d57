// Object functions that this module does not offer yet: each logs its call and answers
// CKR_FUNCTION_NOT_SUPPORTED. C_CopyObject is never supported.
#include "core/Log.h"
#include "module/Globals.h"
#include "module/Pkcs11Provider.h"
#include "object/Pkcs11ObjectList.h"

namespace Vellumcrest {
namespace Pkcs11 {

CK_RV Pkcs11Provider::C_CopyObject(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject, CK_ATTRIBUTE_PTR pTemplate,
                                   CK_ULONG ulCount, CK_OBJECT_HANDLE_PTR phNewObject) {
    GetPkcs11Log()->Info("Pkcs11Provider::C_CopyObject(0x%lX, 0x%lx, %p, %lu, %p)", hSession, hObject,
                         static_cast<void*>(pTemplate), ulCount, static_cast<void*>(phNewObject));
    return LogResult("C_CopyObject", CKR_FUNCTION_NOT_SUPPORTED);
}

CK_RV Pkcs11Provider::C_DestroyObject(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject) {
    GetPkcs11Log()->Info("Pkcs11Provider::C_DestroyObject(0x%lX, 0x%lx)", hSession, hObject);
    return LogResult("C_DestroyObject", CKR_FUNCTION_NOT_SUPPORTED);
}

CK_RV Pkcs11Provider::C_DeleteContainer(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject) {
    GetPkcs11Log()->Info("Pkcs11Provider::C_DeleteContainer(0x%lX, 0x%lx)", hSession, hObject);
    return LogResult("C_DeleteContainer", CKR_FUNCTION_NOT_SUPPORTED);
}

CK_RV Pkcs11Provider::C_GenerateKeyPair(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism,
                                        CK_ATTRIBUTE_PTR pPublicKeyTemplate, CK_ULONG ulPublicKeyAttributeCount,
                                        CK_ATTRIBUTE_PTR pPrivateKeyTemplate, CK_ULONG ulPrivateKeyAttributeCount,
                                        CK_OBJECT_HANDLE_PTR phPublicKey, CK_OBJECT_HANDLE_PTR phPrivateKey) {
    GetPkcs11Log()->Info("Pkcs11Provider::C_GenerateKeyPair(0x%lX, %p, %p, %lu, %p, %lu, %p, %p)", hSession,
                         static_cast<void*>(pMechanism), static_cast<void*>(pPublicKeyTemplate),
                         ulPublicKeyAttributeCount, static_cast<void*>(pPrivateKeyTemplate),
                         ulPrivateKeyAttributeCount, static_cast<void*>(phPublicKey),
                         static_cast<void*>(phPrivateKey));
    return LogResult("C_GenerateKeyPair", CKR_FUNCTION_NOT_SUPPORTED);
}

}  // namespace Pkcs11
}  // namespace Vellumcrest
