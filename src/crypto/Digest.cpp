// Message digests in software: C_DigestInit, C_Digest, C_DigestUpdate, C_DigestKey,
// C_DigestFinal. The digest state is the slot's, kept in its session group.
#include <cstring>
#include <memory>

#include "core/CoreObjects.h"
#include "core/Hash.h"
#include "crypto/CryptoFrame.h"
#include "module/Globals.h"
#include "module/Pkcs11Provider.h"

namespace Vellumcrest {
namespace Pkcs11 {

using CallFrame::Held;

namespace {

bool DigestHashType(CK_MECHANISM_TYPE mechanism, Core::HashType* type) {
    switch (mechanism) {
    case CKM_MD5: *type = Core::HashTypeMd5; return true;
    case CKM_SHA_1: *type = Core::HashTypeSha1; return true;
    case CKM_SHA256: *type = Core::HashTypeSha256; return true;
    case CKM_SHA224: *type = Core::HashTypeSha224; return true;
    case CKM_SHA384: *type = Core::HashTypeSha384; return true;
    case CKM_SHA512: *type = Core::HashTypeSha512; return true;
    default: return false;
    }
}

// Length query, size check and final step shared by C_Digest and C_DigestFinal.
// Every outcome except the length query ends the operation.
CK_RV FinishDigest(SessionGroup* group, const unsigned char* data, CK_ULONG dataLen, CK_BYTE_PTR pDigest,
                   CK_ULONG_PTR pulDigestLen, bool withData) {
    Core::Hash* hash = group->GetDigestHash();
    if (!group->GetDigestActive() || hash == nullptr) {
        CryptoFrame::EndDigest(group);
        return CKR_OPERATION_NOT_INITIALIZED;
    }
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
    Core::HashType type;
    if (!DigestHashType(pMechanism->mechanism, &type)) return LogResult(kMethod, CKR_MECHANISM_INVALID);
    Core::Hash* hash = CreateHash(type);
    if (hash == nullptr) return LogResult(kMethod, CKR_HOST_MEMORY);
    group->SetDigestHash(hash);
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

    rv = FinishDigest(held.group.get(), pData, ulDataLen, pDigest, pulDigestLen, true);
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

    SessionGroup* group = held.group.get();
    Core::Hash* hash = group->GetDigestHash();
    if (!group->GetDigestActive() || hash == nullptr) return LogResult(kMethod, CKR_OPERATION_NOT_INITIALIZED);
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
    Core::Hash* hash = group->GetDigestHash();
    if (!group->GetDigestActive() || hash == nullptr) {
        CryptoFrame::EndDigest(group);
        return LogResult(kMethod, CKR_OPERATION_NOT_INITIALIZED);
    }
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

    rv = FinishDigest(held.group.get(), nullptr, 0, pDigest, pulDigestLen, false);
    return LogResult(kMethod, rv);
}

}  // namespace Pkcs11
}  // namespace Vellumcrest
