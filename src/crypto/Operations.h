// The work of a sign and a verify operation, shared by the single-part calls (C_Sign,
// C_Verify) and the multi-part ones (C_SignFinal, C_VerifyFinal). The caller holds the
// session and its group and has checked that the operation is the session's own.
#pragma once

#include "session/CallFrame.h"
#include "vellumcrest/pkcs11.h"

namespace Vellumcrest {
namespace Pkcs11 {
namespace Operations {

// True (and the error line logged) when the sign key wants a context-specific login that
// has not been made since C_SignInit.
bool ReauthenticationMissing(SessionGroup* group, const char* method);

// Signs with the group's sign key. final: the message went in through C_SignUpdate (data
// is ignored) and the PKCS#11 rules of C_SignFinal apply: a too small buffer gives its
// length and keeps the operation. *keep is set when the operation stays active.
CK_RV Sign(Pkcs11Provider* provider, CallFrame::Held& held, const CK_BYTE* data, CK_ULONG length, bool final,
           CK_BYTE_PTR pSignature, CK_ULONG_PTR pulSignatureLen, bool* keep);

// Verifies with the group's verify key; final as for Sign. The caller ends the operation.
CK_RV Verify(Pkcs11Provider* provider, CallFrame::Held& held, const CK_BYTE* data, CK_ULONG length, bool final,
             const CK_BYTE* pSignature, CK_ULONG ulSignatureLen);

// True for the mechanisms that take C_SignUpdate / C_VerifyUpdate.
bool MultiPart(CK_MECHANISM_TYPE mechanism);

}  // namespace Operations
}  // namespace Pkcs11
}  // namespace Vellumcrest
