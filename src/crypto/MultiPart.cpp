// Multi-part signing and verification: C_SignUpdate, C_SignFinal, C_VerifyUpdate and
// C_VerifyFinal for the hash-and-sign mechanisms. Without ExtendedMechanisms each of them
// only logs its call and answers CKR_FUNCTION_NOT_SUPPORTED, as the other unsupported
// functions do; with it they follow the PKCS#11 rules.
#include "core/Hash.h"
#include "crypto/CryptoFrame.h"
#include "crypto/Mechanisms.h"
#include "crypto/Operations.h"
#include "module/Globals.h"
#include "module/Pkcs11Provider.h"

namespace Vellumcrest {
namespace Pkcs11 {

using CallFrame::Held;

namespace {

// The state of the calling session's operation for an Update or Final call.
enum class Standing {
    Own,          // the session's own operation of a multi-part mechanism
    None,         // CKR_OPERATION_NOT_INITIALIZED, nothing to end
    SinglePart,   // CKR_FUNCTION_NOT_SUPPORTED; the single-part operation keeps running
};

Standing standing(bool active, const OperationDetail& detail, CK_SESSION_HANDLE hSession) {
    if (!CryptoFrame::OwnedBy(active, detail, hSession)) return Standing::None;
    return Operations::MultiPart(detail.mechanism) ? Standing::Own : Standing::SinglePart;
}

CK_RV refusal(Standing standing) {
    return standing == Standing::None ? CKR_OPERATION_NOT_INITIALIZED : CKR_FUNCTION_NOT_SUPPORTED;
}

// An Update of the session's own hash-and-sign operation: the part goes into its hash. An
// operation without a hash is ended by end.
template <typename End>
CK_RV hashPart(bool active, OperationDetail& detail, Core::Hash* hash, CK_SESSION_HANDLE hSession,
               const CK_BYTE* part, CK_ULONG length, End end) {
    Standing state = standing(active, detail, hSession);
    if (state != Standing::Own) return refusal(state);
    if (hash == nullptr) {
        end();
        return CKR_FUNCTION_FAILED;
    }
    hash->Update(part, length);
    detail.multiPart = true;
    return CKR_OK;
}

}  // namespace

CK_RV Pkcs11Provider::C_SignUpdate(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pPart, CK_ULONG ulPartLen) {
    static const char* const kMethod = "C_SignUpdate";
    GetPkcs11Log()->Info("Pkcs11Provider::C_SignUpdate(0x%lX, %p, %lu)", hSession, static_cast<void*>(pPart),
                         ulPartLen);
    if (!Mechanisms::Extended()) return LogResult(kMethod, CKR_FUNCTION_NOT_SUPPORTED);
    if (!IsInitialised()) return LogResult(kMethod, CKR_CRYPTOKI_NOT_INITIALIZED);
    if (hSession == 0 || (pPart == nullptr && ulPartLen != 0)) return LogResult(kMethod, CKR_ARGUMENTS_BAD);

    Held held;
    CK_RV rv = CallFrame::TakeSessionAndGroup(this, hSession, held);
    if (rv != CKR_OK) return LogResult(kMethod, rv);
    SessionGroup* group = held.group.get();
    rv = hashPart(group->GetSignActive(), group->SignDetail(), group->GetSignHash(), hSession, pPart, ulPartLen,
                  [group] { CryptoFrame::EndSign(group); });
    return LogResult(kMethod, rv);
}

CK_RV Pkcs11Provider::C_SignFinal(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pSignature, CK_ULONG_PTR pulSignatureLen) {
    static const char* const kMethod = "C_SignFinal";
    GetPkcs11Log()->Info("Pkcs11Provider::C_SignFinal(0x%lX, %p, %p)", hSession, static_cast<void*>(pSignature),
                         static_cast<void*>(pulSignatureLen));
    if (!Mechanisms::Extended()) return LogResult(kMethod, CKR_FUNCTION_NOT_SUPPORTED);
    if (!IsInitialised()) return LogResult(kMethod, CKR_CRYPTOKI_NOT_INITIALIZED);
    if (hSession == 0 || pulSignatureLen == nullptr) return LogResult(kMethod, CKR_ARGUMENTS_BAD);

    Held held;
    CK_RV rv = CallFrame::TakeSessionAndGroup(this, hSession, held);
    if (rv != CKR_OK) return LogResult(kMethod, rv);
    SessionGroup* group = held.group.get();
    Standing state = standing(group->GetSignActive(), group->SignDetail(), hSession);
    if (state != Standing::Own) return LogResult(kMethod, refusal(state));

    bool keep = false;
    if (Operations::ReauthenticationMissing(group, kMethod))
        rv = CKR_USER_NOT_LOGGED_IN;
    else
        rv = Operations::Sign(this, held, nullptr, 0, true, pSignature, pulSignatureLen, &keep);
    if (!keep) CryptoFrame::EndSign(group);
    held.group.reset();
    held.session.reset();

    return CryptoFrame::LogOutput(kMethod, rv, "    velikost podpisu: %lu", "    podpis:", pSignature,
                                  *pulSignatureLen);
}

CK_RV Pkcs11Provider::C_VerifyUpdate(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pPart, CK_ULONG ulPartLen) {
    static const char* const kMethod = "C_VerifyUpdate";
    GetPkcs11Log()->Info("Pkcs11Provider::C_VerifyUpdate(0x%lX, %p, %lu)", hSession, static_cast<void*>(pPart),
                         ulPartLen);
    if (!Mechanisms::Extended()) return LogResult(kMethod, CKR_FUNCTION_NOT_SUPPORTED);
    if (!IsInitialised()) return LogResult(kMethod, CKR_CRYPTOKI_NOT_INITIALIZED);
    if (hSession == 0 || (pPart == nullptr && ulPartLen != 0)) return LogResult(kMethod, CKR_ARGUMENTS_BAD);

    Held held;
    CK_RV rv = CallFrame::TakeSessionAndGroup(this, hSession, held);
    if (rv != CKR_OK) return LogResult(kMethod, rv);
    SessionGroup* group = held.group.get();
    rv = hashPart(group->GetVerifyActive(), group->VerifyDetail(), group->GetVerifyHash(), hSession, pPart, ulPartLen,
                  [group] { CryptoFrame::EndVerify(group); });
    return LogResult(kMethod, rv);
}

CK_RV Pkcs11Provider::C_VerifyFinal(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pSignature, CK_ULONG ulSignatureLen) {
    static const char* const kMethod = "C_VerifyFinal";
    GetPkcs11Log()->Info("Pkcs11Provider::C_VerifyFinal(0x%lX, %p, %lu)", hSession, static_cast<void*>(pSignature),
                         ulSignatureLen);
    if (!Mechanisms::Extended()) return LogResult(kMethod, CKR_FUNCTION_NOT_SUPPORTED);
    if (!IsInitialised()) return LogResult(kMethod, CKR_CRYPTOKI_NOT_INITIALIZED);
    if (hSession == 0 || pSignature == nullptr) return LogResult(kMethod, CKR_ARGUMENTS_BAD);

    Held held;
    CK_RV rv = CallFrame::TakeSessionAndGroup(this, hSession, held);
    if (rv != CKR_OK) return LogResult(kMethod, rv);
    SessionGroup* group = held.group.get();
    Standing state = standing(group->GetVerifyActive(), group->VerifyDetail(), hSession);
    if (state != Standing::Own) return LogResult(kMethod, refusal(state));

    rv = Operations::Verify(this, held, nullptr, 0, true, pSignature, ulSignatureLen);
    CryptoFrame::EndVerify(group);
    return LogResult(kMethod, rv);
}

}  // namespace Pkcs11
}  // namespace Vellumcrest
