// Message digests in software: C_DigestInit, C_Digest, C_DigestUpdate, C_DigestKey,
// C_DigestFinal. The digest state is the slot's, kept in its session group.
#include <cstring>
#include <memory>

#include "core/CoreObjects.h"
#include "core/Hash.h"
#include "crypto/CryptoFrame.h"
#include "crypto/Mechanisms.h"
#include "module/Globals.h"
#include "module/Pkcs11Provider.h"

namespace Vellumcrest {
namespace Pkcs11 {

using CallFrame::Held;

namespace {

// The digest operation of the calling session, or CKR_OPERATION_NOT_INITIALIZED: none is
// running, or another session of the slot started it (that one is left alone).
CK_RV OwnDigest(SessionGroup* group, CK_SESSION_HANDLE hSession, Core::Hash** hash) {
    *hash = group->GetDigestHash();
    if (CryptoFrame::OwnedBy(group->GetDigestActive(), group->DigestDetail(), hSession) && *hash != nullptr)
        return CKR_OK;
    if (!group->GetDigestActive() || *hash == nullptr) CryptoFrame::EndDigest(group);
    return CKR_OPERATION_NOT_INITIALIZED;
}

// Length query, size check and final step shared by C_Digest and C_DigestFinal.
// Every outcome except the length query ends the operation.
CK_RV FinishDigest(SessionGroup* group, CK_SESSION_HANDLE hSession, const unsigned char* data, CK_ULONG dataLen,
                   CK_BYTE_PTR pDigest, CK_ULONG_PTR pulDigestLen, bool withData) {
    Core::Hash* hash = nullptr;
    CK_RV own = OwnDigest(group, hSession, &hash);
    if (own != CKR_OK) return own;
    if (pDigest == nullptr) {
        *pulDigestLen = hash->GetSize();
        return CKR_OK;
    }
    CK_RV rv = CKR_OK;
    if (*pulDigestLen < hash->GetSize()) {
        rv = CKR_BUFFER_TOO_SMALL;
    } else {
        if (withData) hash->Update(data, dataLen);
        hash->Final();
        std::memcpy(pDigest, hash->GetHash(), hash->GetSize());
        *pulDigestLen = hash->GetSize();
    }
    CryptoFrame::EndDigest(group);
    return rv;
}

}  // namespace

CK_RV Pkcs11Provider::C_DigestInit(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism) {
    static const char* const kMethod = "C_DigestInit";
    GetPkcs11Log()->Info("Pkcs11Provider::C_DigestInit(0x%lX, %p)", hSession, static_cast<void*>(pMechanism));
    if (!IsInitialised()) return LogResult(kMethod, CKR_CRYPTOKI_NOT_INITIALIZED);
    if (hSession == 0 || pMechanism == nullptr) return LogResult(kMethod, CKR_ARGUMENTS_BAD);

    Held held;
    CK_RV rv = CallFrame::TakeSessionAndGroup(this, hSession, held);
    if (rv != CKR_OK) return LogResult(kMethod, rv);

    SessionGroup* group = held.group.get();
    if (group->GetDigestActive()) return LogResult(kMethod, CKR_OPERATION_ACTIVE);
    const Mechanisms::Mechanism* mechanism = Mechanisms::ForFunction(pMechanism->mechanism, CKF_DIGEST);
    if (mechanism == nullptr) return LogResult(kMethod, CKR_MECHANISM_INVALID);
    Core::Hash* hash = CreateHash(mechanism->hash);
    if (hash == nullptr) return LogResult(kMethod, CKR_HOST_MEMORY);
    group->SetDigestHash(hash);
    group->DigestDetail().mechanism = mechanism->type;
    group->DigestDetail().owner = hSession;
    group->SetDigestActive(true);
    return LogResult(kMethod, CKR_OK);
}

CK_RV Pkcs11Provider::C_Digest(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pData, CK_ULONG ulDataLen,
                               CK_BYTE_PTR pDigest, CK_ULONG_PTR pulDigestLen) {
    static const char* const kMethod = "C_Digest";
    GetPkcs11Log()->Info("Pkcs11Provider::C_Digest(0x%lX, %p, %lu, %p, %p)", hSession,
                         static_cast<void*>(pData), ulDataLen, static_cast<void*>(pDigest),
                         static_cast<void*>(pulDigestLen));
    if (!IsInitialised()) return LogResult(kMethod, CKR_CRYPTOKI_NOT_INITIALIZED);
    if (hSession == 0 || pData == nullptr || pulDigestLen == nullptr) return LogResult(kMethod, CKR_ARGUMENTS_BAD);

    Held held;
    CK_RV rv = CallFrame::TakeSessionAndGroup(this, hSession, held);
    if (rv != CKR_OK) return LogResult(kMethod, rv);

    rv = FinishDigest(held.group.get(), hSession, pData, ulDataLen, pDigest, pulDigestLen, true);
    return LogResult(kMethod, rv);
}

CK_RV Pkcs11Provider::C_DigestUpdate(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pPart, CK_ULONG ulPartLen) {
    static const char* const kMethod = "C_DigestUpdate";
    GetPkcs11Log()->Info("Pkcs11Provider::C_DigestUpdate(0x%lX, %p, %lu)", hSession, static_cast<void*>(pPart),
                         ulPartLen);
    if (!IsInitialised()) return LogResult(kMethod, CKR_CRYPTOKI_NOT_INITIALIZED);
    if (hSession == 0 || pPart == nullptr) return LogResult(kMethod, CKR_ARGUMENTS_BAD);

    Held held;
    CK_RV rv = CallFrame::TakeSessionAndGroup(this, hSession, held);
    if (rv != CKR_OK) return LogResult(kMethod, rv);

    Core::Hash* hash = nullptr;
    rv = OwnDigest(held.group.get(), hSession, &hash);
    if (rv != CKR_OK) return LogResult(kMethod, rv);
    hash->Update(pPart, ulPartLen);
    return LogResult(kMethod, CKR_OK);
}

CK_RV Pkcs11Provider::C_DigestKey(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hKey) {
    static const char* const kMethod = "C_DigestKey";
    GetPkcs11Log()->Info("Pkcs11Provider::C_DigestKey(0x%lX, 0x%lX)", hSession, hKey);
    if (!IsInitialised()) return LogResult(kMethod, CKR_CRYPTOKI_NOT_INITIALIZED);
    if (hSession == 0 || hKey == 0) return LogResult(kMethod, CKR_ARGUMENTS_BAD);

    Held held;
    CK_RV rv = CallFrame::TakeSessionAndGroup(this, hSession, held);
    if (rv != CKR_OK) return LogResult(kMethod, rv);

    SessionGroup* group = held.group.get();
    Core::Hash* hash = nullptr;
    rv = OwnDigest(group, hSession, &hash);
    if (rv != CKR_OK) return LogResult(kMethod, rv);
    Locked<Core::CoreObject> object(group->GetObjectList()->FindObject(hKey, true));
    if (!object) {
        CryptoFrame::EndDigest(group);
        return LogResult(kMethod, CKR_KEY_HANDLE_INVALID);
    }
    // Only secret keys can be digested; RSA keys, certificates and data objects cannot.
    const Core::SymKey* secret = nullptr;
    if (object->GetCoreObjectType() == Core::CoreObjectTypeKey) {
        Core::KeyType keyType = static_cast<Core::Key*>(object.get())->GetKeyType();
        if (keyType >= Core::KeyTypeDes && keyType <= Core::KeyTypeRc4)
            secret = dynamic_cast<const Core::SymKey*>(object.get());
    }
    if (secret == nullptr) {
        CryptoFrame::EndDigest(group);
        return LogResult(kMethod, CKR_KEY_INDIGESTIBLE);
    }
    hash->Update(secret->GetKey(), secret->GetKeySize());
    return LogResult(kMethod, CKR_OK);
}

CK_RV Pkcs11Provider::C_DigestFinal(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pDigest, CK_ULONG_PTR pulDigestLen) {
    static const char* const kMethod = "C_DigestFinal";
    GetPkcs11Log()->Info("Pkcs11Provider::C_DigestFinal(0x%lX, %p, %p)", hSession, static_cast<void*>(pDigest),
                         static_cast<void*>(pulDigestLen));
    if (!IsInitialised()) return LogResult(kMethod, CKR_CRYPTOKI_NOT_INITIALIZED);
    if (hSession == 0 || pulDigestLen == nullptr) return LogResult(kMethod, CKR_ARGUMENTS_BAD);

    Held held;
    CK_RV rv = CallFrame::TakeSessionAndGroup(this, hSession, held);
    if (rv != CKR_OK) return LogResult(kMethod, rv);

    rv = FinishDigest(held.group.get(), hSession, nullptr, 0, pDigest, pulDigestLen, false);
    return LogResult(kMethod, rv);
}

}  // namespace Pkcs11
}  // namespace Vellumcrest
