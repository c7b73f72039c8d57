// Verification in software: C_VerifyInit and C_Verify with a public key of the slot's
// object list, and the verification work that C_VerifyFinal shares. For the hash-and-sign
// mechanisms the classic module takes the digest; with ExtendedMechanisms, the message.
#include <memory>
#include <vector>

#include "core/CardCrypto.h"
#include "core/CoreObjects.h"
#include "core/Hash.h"
#include "core/Reader.h"
#include "crypto/CryptoFrame.h"
#include "crypto/Mechanisms.h"
#include "crypto/Operations.h"
#include "module/Globals.h"
#include "module/Pkcs11Provider.h"

namespace Vellumcrest {
namespace Pkcs11 {

using CallFrame::Held;

CK_RV Pkcs11Provider::C_VerifyInit(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism, CK_OBJECT_HANDLE hKey) {
    static const char* const kMethod = "C_VerifyInit";
    Core::Log* log = GetPkcs11Log();
    log->Info("Pkcs11Provider::C_VerifyInit(0x%lX, %p, 0x%lX)", hSession, static_cast<void*>(pMechanism), hKey);
    if (!IsInitialised()) return LogResult(kMethod, CKR_CRYPTOKI_NOT_INITIALIZED);
    if (hSession == 0 || pMechanism == nullptr || hKey == 0) return LogResult(kMethod, CKR_ARGUMENTS_BAD);

    Held held;
    CK_RV rv = CallFrame::TakeSession(this, hSession, held);
    if (rv != CKR_OK) return LogResult(kMethod, rv);
    if (!CallFrame::UserLoggedIn(held)) return LogResult(kMethod, CKR_USER_NOT_LOGGED_IN);
    if (CallFrame::TakeGroup(held) != CKR_OK) return LogResult(kMethod, CKR_FUNCTION_FAILED);
    SessionGroup* group = held.group.get();

    const Mechanisms::Mechanism* mechanism = Mechanisms::ForFunction(pMechanism->mechanism, CKF_VERIFY);
    const bool extended = Mechanisms::Extended();
    if (mechanism == nullptr && extended) {
        log->Error("    nepodporovany mechanismus: 0x%lX", pMechanism->mechanism);
        return LogResult(kMethod, CKR_MECHANISM_INVALID);
    }
    if (mechanism == nullptr) {
        // The classic module verifies an unknown mechanism as raw CKM_RSA_PKCS.
        log->Warning("    nepodporovany mechanismus: 0x%lX, nahrazuji HashTypeSsl3", pMechanism->mechanism);
        mechanism = Mechanisms::Find(CKM_RSA_PKCS);
    }
    std::unique_ptr<Core::Hash> hash(CreateHash(Mechanisms::MessageHash(*mechanism)));
    if (!hash) return LogResult(kMethod, CKR_HOST_MEMORY);

    unsigned long modulusBytes = 0;
    {
        Locked<Core::CoreObject> object(group->GetObjectList()->FindObject(hKey, true));
        if (!object) return LogResult(kMethod, CKR_KEY_HANDLE_INVALID);
        if (!CryptoFrame::IsKeyOfType(object.get(), Core::KeyTypeRsaPublicKey))
            return LogResult(kMethod, CKR_KEY_TYPE_INCONSISTENT);
        if (!object->GetCoreObjectFlags().verify) return LogResult(kMethod, CKR_KEY_FUNCTION_NOT_PERMITTED);
        modulusBytes = static_cast<Core::RsaPublicKey*>(object.get())->GetModulusSize();
        if (!Mechanisms::KeySizeAllowed(*mechanism, modulusBytes)) return LogResult(kMethod, CKR_KEY_SIZE_RANGE);
    }
    OperationDetail detail;
    rv = Mechanisms::ReadParameter(*mechanism, *pMechanism, modulusBytes, &detail);
    if (rv != CKR_OK) return LogResult(kMethod, rv);
    // The classic module takes the digest, not the message, for the hash-and-sign mechanisms.
    detail.digestInput = !extended && mechanism->kind == Mechanisms::Kind::RsaHash;
    detail.owner = hSession;

    group->SetVerifyHash(hash.release());
    group->SetVerifyKey(hKey);
    group->VerifyDetail() = std::move(detail);
    group->SetVerifyActive(true);
    return LogResult(kMethod, CKR_OK);
}

namespace Operations {

CK_RV Verify(Pkcs11Provider* provider, Held& held, const CK_BYTE* pData, CK_ULONG ulDataLen, bool final,
             const CK_BYTE* pSignature, CK_ULONG ulSignatureLen) {
    SessionGroup* group = held.group.get();
    Core::Hash* hash = group->GetVerifyHash();
    const OperationDetail& detail = group->VerifyDetail();
    const Mechanisms::Mechanism* mechanism = Mechanisms::Find(detail.mechanism);
    if (hash == nullptr || mechanism == nullptr) return CKR_FUNCTION_FAILED;
    const Mechanisms::Kind kind = mechanism->kind;
    if (detail.digestInput && ulDataLen != hash->GetSize()) return CKR_DATA_LEN_RANGE;
    if (kind == Mechanisms::Kind::RsaPss && ulDataLen != Mechanisms::DigestLength(detail.hash))
        return CKR_DATA_LEN_RANGE;

    // The pair is held (not opened) so that the card cannot change under the key.
    Locked<Core::ReaderCardPair> pair(CallFrame::LockPair(provider, held.slot));
    if (!pair) return CKR_FUNCTION_FAILED;
    Locked<Core::CoreObject> object(group->GetObjectList()->FindObject(group->GetVerifyKey(), true));
    if (!CryptoFrame::IsKeyOfType(object.get(), Core::KeyTypeRsaPublicKey)) return CKR_FUNCTION_FAILED;
    auto* publicKey = static_cast<Core::RsaPublicKey*>(object.get());
    if (ulSignatureLen != publicKey->GetModulusSize()) return CKR_SIGNATURE_LEN_RANGE;

    if (!final) GetPkcs11Log()->DebugData(pData, CryptoFrame::DumpLength(ulDataLen), "    data k verifikaci:");
    int result;
    switch (kind) {
    case Mechanisms::Kind::RsaHash:
        if (detail.digestInput) {
            hash->SetHash(pData);
        } else {
            if (!final) hash->Update(pData, ulDataLen);
            hash->Final();
        }
        result = publicKey->Verify(hash, pSignature, ulSignatureLen);
        break;
    case Mechanisms::Kind::RsaPss:
    case Mechanisms::Kind::RsaHashPss: {
        const unsigned char* digest = pData;
        unsigned long digestLength = ulDataLen;
        if (kind == Mechanisms::Kind::RsaHashPss) {
            if (!final) hash->Update(pData, ulDataLen);
            hash->Final();
            digest = hash->GetHash();
            digestLength = hash->GetSize();
        }
        Core::PkeyPtr key = CryptoFrame::OpenSslPublicKey(*publicKey);
        if (!key) return CKR_FUNCTION_FAILED;
        bool valid = Core::CardCrypto::RsaVerifyPss(key.get(), detail.hash, detail.mgfHash, detail.saltLength,
                                                    digest, digestLength, pSignature, ulSignatureLen);
        result = valid ? 0 : 1;
        break;
    }
    default:
        result = publicKey->Verify(pData, ulDataLen, pSignature, ulSignatureLen);
        break;
    }
    return result == 0 ? CKR_OK : CKR_SIGNATURE_INVALID;
}

}  // namespace Operations

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
    SessionGroup* group = held.group.get();

    if (!CryptoFrame::OwnedBy(group->GetVerifyActive(), group->VerifyDetail(), hSession)) {
        // Not started here: another session's operation is left alone.
        if (!group->GetVerifyActive()) CryptoFrame::EndVerify(group);
        return LogResult(kMethod, CKR_OPERATION_NOT_INITIALIZED);
    }
    // C_Verify cannot finish an operation fed by C_VerifyUpdate.
    rv = group->VerifyDetail().multiPart
             ? CKR_OPERATION_ACTIVE
             : Operations::Verify(this, held, pData, ulDataLen, false, pSignature, ulSignatureLen);
    CryptoFrame::EndVerify(group);
    return LogResult(kMethod, rv);
}

}  // namespace Pkcs11
}  // namespace Vellumcrest
