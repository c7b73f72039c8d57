// Object functions that this module does not offer yet: each logs its call and answers
// CKR_FUNCTION_NOT_SUPPORTED.
#include "core/Log.h"
#include "module/Globals.h"
#include "module/Pkcs11Provider.h"
#include "object/Pkcs11ObjectList.h"

namespace Vellumcrest {
namespace Pkcs11 {

CK_RV Pkcs11Provider::C_CreateObject(CK_SESSION_HANDLE hSession, CK_ATTRIBUTE_PTR pTemplate, CK_ULONG ulCount,
                                     CK_OBJECT_HANDLE_PTR phObject) {
    GetPkcs11Log()->Info("Pkcs11Provider::C_CreateObject(0x%lX, %p, %lu, %p)", hSession,
                         static_cast<void*>(pTemplate), ulCount, static_cast<void*>(phObject));
    return LogResult("C_CreateObject", CKR_FUNCTION_NOT_SUPPORTED);
}

CK_RV Pkcs11Provider::C_SetAttributeValue(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject,
                                          CK_ATTRIBUTE_PTR pTemplate, CK_ULONG ulCount) {
    GetPkcs11Log()->Info("Pkcs11Provider::C_SetAttributeValue(0x%lX, 0x%lx, %p, %lu)", hSession, hObject,
                         static_cast<void*>(pTemplate), ulCount);
    return LogResult("C_SetAttributeValue", CKR_FUNCTION_NOT_SUPPORTED);
}

CK_RV Pkcs11ObjectList::SetPkcs11AttributeValue(Core::CoreObject* object, CK_ATTRIBUTE* attribute,
                                                Core::ReaderCardPair* pair) {
    return CKR_FUNCTION_NOT_SUPPORTED;
}

CK_RV Pkcs11ObjectList::SetAttributeValue(CK_OBJECT_HANDLE hObject, CK_ATTRIBUTE* attribute, Session* session,
                                          Core::ReaderCardPair* pair) {
    return CKR_FUNCTION_NOT_SUPPORTED;
}

}  // namespace Pkcs11
}  // namespace Vellumcrest
