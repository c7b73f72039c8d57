// Verification in software: C_VerifyInit and C_Verify with a public key of the slot's
// object list. For the hash-and-sign mechanisms the caller passes the digest.
#include <memory>

#include "core/CoreObjects.h"
#include "core/Hash.h"
#include "core/Reader.h"
#include "crypto/CryptoFrame.h"
#include "module/Globals.h"
#include "module/Pkcs11Provider.h"

namespace Vellumcrest {
namespace Pkcs11 {

using CallFrame::Held;

namespace {

Core::HashType VerifyHashType(CK_MECHANISM_TYPE mechanism) {
    switch (mechanism) {
    case CKM_RSA_PKCS: return Core::HashTypeSsl3;
    case CKM_MD5_RSA_PKCS: return Core::HashTypeMd5;
    case CKM_SHA1_RSA_PKCS: return Core::HashTypeSha1;
    case CKM_SHA256_RSA_PKCS: return Core::HashTypeSha256;
    case CKM_SHA384_RSA_PKCS: return Core::HashTypeSha384;
    case CKM_SHA512_RSA_PKCS: return Core::HashTypeSha512;
    case CKM_SHA224_RSA_PKCS: return Core::HashTypeSha224;
    default:
        GetPkcs11Log()->Warning("    nepodporovany mechanismus: 0x%lX, nahrazuji HashTypeSsl3", mechanism);
        return Core::HashTypeSsl3;
    }
}

}  // namespace

CK_RV Pkcs11Provider::C_VerifyInit(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism, CK_OBJECT_HANDLE hKey) {
    static const char* const kMethod = "C_VerifyInit";
    GetPkcs11Log()->Info("Pkcs11Provider::C_VerifyInit(0x%lX, %p, 0x%lX)", hSession, static_cast<void*>(pMechanism),
                         hKey);
    if (!IsInitialised()) return LogResult(kMethod, CKR_CRYPTOKI_NOT_INITIALIZED);
    if (hSession == 0 || pMechanism == nullptr || hKey == 0) return LogResult(kMethod, CKR_ARGUMENTS_BAD);

    Held held;
    CK_RV rv = CallFrame::TakeSession(this, hSession, held);
    if (rv != CKR_OK) return LogResult(kMethod, rv);
    if (!CallFrame::UserLoggedIn(held)) return LogResult(kMethod, CKR_USER_NOT_LOGGED_IN);
    if (CallFrame::TakeGroup(held) != CKR_OK) return LogResult(kMethod, CKR_FUNCTION_FAILED);
    SessionGroup* group = held.group.get();

    std::unique_ptr<Core::Hash> hash(CreateHash(VerifyHashType(pMechanism->mechanism)));
    if (!hash) return LogResult(kMethod, CKR_HOST_MEMORY);

    {
        Locked<Core::CoreObject> object(group->GetObjectList()->FindObject(hKey, true));
        if (!object) return LogResult(kMethod, CKR_KEY_HANDLE_INVALID);
        if (!CryptoFrame::IsKeyOfType(object.get(), Core::KeyTypeRsaPublicKey))
            return LogResult(kMethod, CKR_KEY_TYPE_INCONSISTENT);
        if (!object->GetCoreObjectFlags().verify) return LogResult(kMethod, CKR_KEY_FUNCTION_NOT_PERMITTED);
        if (!CryptoFrame::SupportedModulusBits(static_cast<Core::RsaPublicKey*>(object.get())->GetModulusSize()))
            return LogResult(kMethod, CKR_KEY_SIZE_RANGE);
    }

    group->SetVerifyHash(hash.release());
    group->SetVerifyKey(hKey);
    group->SetVerifyActive(true);
    return LogResult(kMethod, CKR_OK);
}

namespace {

CK_RV VerifyWithKey(Pkcs11Provider* provider, Held& held, CK_BYTE_PTR pData, CK_ULONG ulDataLen,
                    CK_BYTE_PTR pSignature, CK_ULONG ulSignatureLen) {
    SessionGroup* group = held.group.get();
    if (!group->GetVerifyActive()) return CKR_OPERATION_NOT_INITIALIZED;
    Core::Hash* hash = group->GetVerifyHash();
    if (hash == nullptr) return CKR_FUNCTION_FAILED;
    bool raw = hash->GetType() == Core::HashTypeSsl3;
    if (!raw && ulDataLen != hash->GetSize()) return CKR_DATA_LEN_RANGE;

    // The pair is held (not opened) so that the card cannot change under the key.
    Locked<Core::ReaderCardPair> pair(CallFrame::LockPair(provider, held.slot));
    if (!pair) return CKR_FUNCTION_FAILED;
    Locked<Core::CoreObject> object(group->GetObjectList()->FindObject(group->GetVerifyKey(), true));
    if (!CryptoFrame::IsKeyOfType(object.get(), Core::KeyTypeRsaPublicKey)) return CKR_FUNCTION_FAILED;
    auto* publicKey = static_cast<Core::RsaPublicKey*>(object.get());
    if (ulSignatureLen != publicKey->GetModulusSize()) return CKR_SIGNATURE_LEN_RANGE;

    GetPkcs11Log()->DebugData(pData, CryptoFrame::DumpLength(ulDataLen), "    data k verifikaci:");
    int result;
    if (raw) {
        result = publicKey->Verify(pData, ulDataLen, pSignature, ulSignatureLen);
    } else {
        hash->SetHash(pData);
        result = publicKey->Verify(hash, pSignature, ulSignatureLen);
    }
    return result == 0 ? CKR_OK : CKR_SIGNATURE_INVALID;
}

}  // namespace

CK_RV Pkcs11Provider::C_Verify(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pData, CK_ULONG ulDataLen,
                               CK_BYTE_PTR pSignature, CK_ULONG ulSignatureLen) {
    static const char* const kMethod = "C_Verify";
    GetPkcs11Log()->Info("Pkcs11Provider::C_Verify(0x%lX, %p, %lu, %p, %lu)", hSession,
                         static_cast<void*>(pData), ulDataLen, static_cast<void*>(pSignature), ulSignatureLen);
    if (!IsInitialised()) return LogResult(kMethod, CKR_CRYPTOKI_NOT_INITIALIZED);
    if (hSession == 0 || pData == nullptr || pSignature == nullptr) return LogResult(kMethod, CKR_ARGUMENTS_BAD);

    Held held;
    CK_RV rv = CallFrame::TakeSessionAndGroup(this, hSession, held);
    if (rv != CKR_OK) return LogResult(kMethod, rv);

    rv = VerifyWithKey(this, held, pData, ulDataLen, pSignature, ulSignatureLen);
    CryptoFrame::EndVerify(held.group.get());
    return LogResult(kMethod, rv);
}

}  // namespace Pkcs11
}  // namespace Vellumcrest
