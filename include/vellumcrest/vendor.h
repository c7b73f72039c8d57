// Vendor-defined attribute types and the vendor exports of libvellumcrest-pkcs11.
#pragma once

#include <p11-kit/pkcs11.h>

#define CKA_TWINS             (0x80000011UL)
#define CKA_VELLUMCREST_PROOF (0x80000012UL)
#define CKA_ESIGN             (0x80000013UL)
#define CKA_ORVOAPP           (0x80000014UL)
#define CKA_OBJECT_ADDRESS    (0x80000100UL)

#ifdef __cplusplus
namespace Vellumcrest { namespace Core { class ReaderCardPair; } }
extern "C" {
CK_RV C_GetSlotListEx(CK_BBOOL tokenPresent, CK_SLOT_ID_PTR pSlotList, CK_ULONG_PTR pulCount,
                      CK_BBOOL invalidateCache);
CK_RV C_GetReaderCardPair(CK_SLOT_ID slotID, Vellumcrest::Core::ReaderCardPair** ppPair);
CK_RV C_PINPadPseudoLogin(CK_SESSION_HANDLE hSession);
CK_RV C_DeleteContainer(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject);
}
#endif
