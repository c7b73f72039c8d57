// Signing on the card: C_SignInit and C_Sign, raw CKM_RSA_PKCS in single-part form. The
// caller supplies the finished PKCS#1 v1.5 input (e.g. a DER DigestInfo); the private key
// never leaves the card core.
#include <memory>

#include "core/CoreObjects.h"
#include "core/Hash.h"
#include "core/ProcessTrustVerifier.h"
#include "core/Reader.h"
#include "crypto/CryptoFrame.h"
#include "module/Globals.h"
#include "module/Pkcs11Provider.h"

namespace Vellumcrest {
namespace Pkcs11 {

using CallFrame::Held;

CK_RV Pkcs11Provider::C_SignInit(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism, CK_OBJECT_HANDLE hKey) {
    static const char* const kMethod = "C_SignInit";
    Core::Log* log = GetPkcs11Log();
    log->Info("Pkcs11Provider::C_SignInit(0x%lX, %p, 0x%lX)", hSession, static_cast<void*>(pMechanism), hKey);
    if (!IsInitialised()) return LogResult(kMethod, CKR_CRYPTOKI_NOT_INITIALIZED);
    if (hSession == 0 || pMechanism == nullptr || hKey == 0) return LogResult(kMethod, CKR_ARGUMENTS_BAD);

    Held held;
    CK_RV rv = CallFrame::TakeSession(this, hSession, held);
    if (rv != CKR_OK) return LogResult(kMethod, rv);
    if (!CallFrame::UserLoggedIn(held)) return LogResult(kMethod, CKR_USER_NOT_LOGGED_IN);
    if (CallFrame::TakeGroup(held) != CKR_OK) return LogResult(kMethod, CKR_FUNCTION_FAILED);
    SessionGroup* group = held.group.get();

    if (pMechanism->mechanism != CKM_RSA_PKCS) {
        log->Error("    nepodporovany mechanismus: 0x%lX", pMechanism->mechanism);
        return LogResult(kMethod, CKR_MECHANISM_INVALID);
    }
    std::unique_ptr<Core::Hash> hash(CreateHash(Core::HashTypeSsl3));
    if (!hash) return LogResult(kMethod, CKR_HOST_MEMORY);

    // The pair is taken before the key object (lock order); its absence is reported
    // after the key checks.
    Locked<Core::ReaderCardPair> pair(CallFrame::LockPair(this, held.slot));
    Locked<Core::CoreObject> object(group->GetObjectList()->FindObject(hKey, true));
    if (!object) return LogResult(kMethod, CKR_KEY_HANDLE_INVALID);
    if (!CryptoFrame::IsKeyOfType(object.get(), Core::KeyTypeRsaPrivateKey))
        return LogResult(kMethod, CKR_KEY_TYPE_INCONSISTENT);
    const Core::CoreObjectFlags& flags = object->GetCoreObjectFlags();
    if (!flags.sign) return LogResult(kMethod, CKR_KEY_FUNCTION_NOT_PERMITTED);
    bool alwaysAuthenticate = flags.esign != 0 && !Core::GetProcTrustVerifier()->IsTrusted();

    if (!pair) return LogResult(kMethod, CKR_FUNCTION_FAILED);
    auto* privateKey = static_cast<Core::RsaPrivateKey*>(object.get());
    std::unique_ptr<Core::RsaPublicKey> publicKey(privateKey->GetPublicKey(pair.get()));
    object.reset();
    if (publicKey) {
        if (!CryptoFrame::SupportedModulusBits(publicKey->GetModulusSize()))
            return LogResult(kMethod, CKR_KEY_SIZE_RANGE);
    } else {
        log->Warning("Pkcs11Provider::C_SignInit(): z privatniho klice nelze ziskat public klic - nemohu overit "
                     "velikost klice");
    }
    publicKey.reset();
    pair.reset();

    group->SetSignHash(hash.release());
    group->SetSignKey(hKey);
    group->SetAlwaysAuthenticate(alwaysAuthenticate);
    group->SetContextLoginDone(false);
    group->SetSignActive(true);
    return LogResult(kMethod, CKR_OK);
}

namespace {

// The card part of C_Sign, under the group, the pair and the key object. Every outcome
// except the length query ends the operation (done by the caller).
CK_RV SignOnCard(SessionGroup* group, Core::ReaderCardPair* pair, Core::CoreObject* object, CK_BYTE_PTR pData,
                 CK_ULONG ulDataLen, CK_BYTE_PTR pSignature, CK_ULONG_PTR pulSignatureLen, bool* lengthQuery) {
    Core::Log* log = GetPkcs11Log();
    if (pair == nullptr || !CryptoFrame::IsKeyOfType(object, Core::KeyTypeRsaPrivateKey)) return CKR_FUNCTION_FAILED;
    auto* privateKey = static_cast<Core::RsaPrivateKey*>(object);
    const Core::CardPrivateKeyRecord* record = privateKey->GetCardPrivateKeyRecord(pair);
    if (record == nullptr) return CKR_FUNCTION_FAILED;
    Core::Hash* hash = group->GetSignHash();
    if (hash == nullptr) return CKR_FUNCTION_FAILED;

    const CK_ULONG signatureLength = record->signatureLength;
    const int authId = record->authId;
    bool raw = hash->GetType() == Core::HashTypeSsl3;
    if (raw && (ulDataLen > signatureLength || signatureLength < CryptoFrame::kPkcs1Overhead ||
                ulDataLen > signatureLength - CryptoFrame::kPkcs1Overhead))
        return CKR_DATA_LEN_RANGE;
    if (pSignature == nullptr) {
        *pulSignatureLen = signatureLength;
        *lengthQuery = true;
        return CKR_OK;
    }
    if (*pulSignatureLen < signatureLength) return CKR_BUFFER_TOO_SMALL;

    log->DebugData(pData, CryptoFrame::DumpLength(ulDataLen), "    data k podpisu:");
    return CryptoFrame::OnLoggedInCard(group, pair, authId, [&]() -> CK_RV {
        if (!raw) {
            log->Warning("Pkcs11Provider::C_Sign(): pokus o pouziti nepodporovaneho mechanismu - RSA + hash");
            return CKR_FUNCTION_FAILED;
        }
        // Open may have reloaded the card image: look the record up again.
        record = privateKey->GetCardPrivateKeyRecord(pair);
        unsigned long length = *pulSignatureLen;
        int result = record != nullptr ? pair->Sign(record, pData, ulDataLen, pSignature, &length)
                                       : static_cast<int>(Core::CoreNotFound);
        if (result != 0) {
            log->Error("    chyba podepisovani: 0x%x", static_cast<unsigned int>(result));
            return CKR_FUNCTION_FAILED;
        }
        *pulSignatureLen = length;
        return CKR_OK;
    });
}

}  // namespace

CK_RV Pkcs11Provider::C_Sign(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pData, CK_ULONG ulDataLen,
                             CK_BYTE_PTR pSignature, CK_ULONG_PTR pulSignatureLen) {
    static const char* const kMethod = "C_Sign";
    Core::Log* log = GetPkcs11Log();
    log->Info("Pkcs11Provider::C_Sign(0x%lX, %p, %lu, %p, %p)", hSession, static_cast<void*>(pData), ulDataLen,
              static_cast<void*>(pSignature), static_cast<void*>(pulSignatureLen));
    if (!IsInitialised()) return LogResult(kMethod, CKR_CRYPTOKI_NOT_INITIALIZED);
    if (hSession == 0 || pData == nullptr || pulSignatureLen == nullptr) return LogResult(kMethod, CKR_ARGUMENTS_BAD);

    Held held;
    CK_RV rv = CallFrame::TakeSessionAndGroup(this, hSession, held);
    if (rv != CKR_OK) return LogResult(kMethod, rv);
    SessionGroup* group = held.group.get();

    bool lengthQuery = false;
    if (!group->GetSignActive()) {
        rv = CKR_OPERATION_NOT_INITIALIZED;
    } else if (group->GetAlwaysAuthenticate() && !group->GetContextLoginDone()) {
        log->Error("Pkcs11Provider::C_Sign(): Re-authentication is required before each use of this private key. "
                   "Re-authentication occurs by calling C_Login with userType set to CKU_CONTEXT_SPECIFIC after a "
                   "cryptographic operation has been initiated.");
        rv = CKR_USER_NOT_LOGGED_IN;
    } else {
        Locked<Core::ReaderCardPair> pair(CallFrame::LockPair(this, held.slot));
        Locked<Core::CoreObject> object;
        if (pair) object.reset(group->GetObjectList()->FindObject(group->GetSignKey(), true));
        rv = object ? SignOnCard(group, pair.get(), object.get(), pData, ulDataLen, pSignature, pulSignatureLen,
                                 &lengthQuery)
                    : CKR_FUNCTION_FAILED;
    }
    if (!lengthQuery) CryptoFrame::EndSign(group);
    held.group.reset();
    held.session.reset();

    return CryptoFrame::LogOutput(kMethod, rv, "    velikost podpisu: %lu", "    podpis:", pSignature,
                                  *pulSignatureLen);
}

}  // namespace Pkcs11
}  // namespace Vellumcrest
