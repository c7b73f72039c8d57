// Encryption in software with a public key, and decryption on the card with a private
// key; single-part only. CKM_RSA_PKCS, and with ExtendedMechanisms CKM_RSA_PKCS_OAEP.
// The decrypted data (usually a session key) is never written to the log.
#include <memory>
#include <vector>

#include "core/CardCrypto.h"
#include "core/CoreObjects.h"
#include "core/Reader.h"
#include "crypto/CryptoFrame.h"
#include "crypto/Mechanisms.h"
#include "module/Globals.h"
#include "module/Pkcs11Provider.h"

namespace Vellumcrest {
namespace Pkcs11 {

using CallFrame::Held;

namespace {

// Steps shared by C_EncryptInit and C_DecryptInit up to the taken group and the checked
// mechanism.
CK_RV BeginCipherInit(Pkcs11Provider* provider, CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism,
                      CK_FLAGS function, Held& held, const Mechanisms::Mechanism** mechanism) {
    CK_RV rv = CallFrame::TakeSession(provider, hSession, held);
    if (rv != CKR_OK) return rv;
    if (!CallFrame::UserLoggedIn(held)) return CKR_USER_NOT_LOGGED_IN;
    if (CallFrame::TakeGroup(held) != CKR_OK) return CKR_FUNCTION_FAILED;
    *mechanism = Mechanisms::ForFunction(pMechanism->mechanism, function);
    if (*mechanism == nullptr) {
        GetPkcs11Log()->Error("    nepodporovany mechanismus: 0x%lX", pMechanism->mechanism);
        return CKR_MECHANISM_INVALID;
    }
    return CKR_OK;
}

// Size and parameter checks of both inits, once the key's modulus length is known.
CK_RV CheckCipherMechanism(const Mechanisms::Mechanism& mechanism, const CK_MECHANISM& given,
                           unsigned long modulusBytes, CK_SESSION_HANDLE hSession, OperationDetail* detail) {
    if (!Mechanisms::KeySizeAllowed(mechanism, modulusBytes)) return CKR_KEY_SIZE_RANGE;
    CK_RV rv = Mechanisms::ReadParameter(mechanism, given, modulusBytes, detail);
    detail->owner = hSession;
    return rv;
}

// Key checks of both inits: the key object, its type and its permission flag.
CK_RV CheckCipherKey(Core::CoreObject* object, Core::KeyType keyType, bool encrypt) {
    if (object == nullptr) return CKR_KEY_HANDLE_INVALID;
    if (!CryptoFrame::IsKeyOfType(object, keyType)) return CKR_KEY_TYPE_INCONSISTENT;
    const Core::CoreObjectFlags& flags = object->GetCoreObjectFlags();
    if (!(encrypt ? flags.encrypt : flags.decrypt)) return CKR_KEY_FUNCTION_NOT_PERMITTED;
    return CKR_OK;
}

}  // namespace

CK_RV Pkcs11Provider::C_EncryptInit(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism,
                                    CK_OBJECT_HANDLE hKey) {
    static const char* const kMethod = "C_EncryptInit";
    GetPkcs11Log()->Info("Pkcs11Provider::C_EncryptInit(0x%lX, %p, 0x%lX)", hSession,
                         static_cast<void*>(pMechanism), hKey);
    if (!IsInitialised()) return LogResult(kMethod, CKR_CRYPTOKI_NOT_INITIALIZED);
    if (hSession == 0 || pMechanism == nullptr || hKey == 0) return LogResult(kMethod, CKR_ARGUMENTS_BAD);

    Held held;
    const Mechanisms::Mechanism* mechanism = nullptr;
    CK_RV rv = BeginCipherInit(this, hSession, pMechanism, CKF_ENCRYPT, held, &mechanism);
    if (rv != CKR_OK) return LogResult(kMethod, rv);
    SessionGroup* group = held.group.get();
    OperationDetail detail;
    {
        Locked<Core::CoreObject> object(group->GetObjectList()->FindObject(hKey, true));
        rv = CheckCipherKey(object.get(), Core::KeyTypeRsaPublicKey, true);
        if (rv != CKR_OK) return LogResult(kMethod, rv);
        unsigned long modulusBytes = static_cast<Core::RsaPublicKey*>(object.get())->GetModulusSize();
        rv = CheckCipherMechanism(*mechanism, *pMechanism, modulusBytes, hSession, &detail);
        if (rv != CKR_OK) return LogResult(kMethod, rv);
    }
    group->SetEncryptKey(hKey);
    group->EncryptDetail() = std::move(detail);
    group->SetEncryptActive(true);
    return LogResult(kMethod, CKR_OK);
}

namespace {

// RSA-OAEP encryption in software under the C_Encrypt rules: data length, length query,
// room.
CK_RV EncryptOaep(Core::RsaPublicKey* publicKey, const OperationDetail& detail, CK_BYTE_PTR pData,
                  CK_ULONG ulDataLen, CK_BYTE_PTR pEncryptedData, CK_ULONG_PTR pulEncryptedDataLen,
                  bool* lengthQuery) {
    const CK_ULONG modulusLength = publicKey->GetModulusSize();
    const CK_ULONG overhead = 2 * Mechanisms::DigestLength(detail.hash) + 2;
    if (modulusLength < overhead || ulDataLen > modulusLength - overhead) return CKR_DATA_LEN_RANGE;
    if (pEncryptedData == nullptr) {
        *pulEncryptedDataLen = modulusLength;
        *lengthQuery = true;
        return CKR_OK;
    }
    if (*pulEncryptedDataLen < modulusLength) return CKR_BUFFER_TOO_SMALL;
    Core::PkeyPtr key = CryptoFrame::OpenSslPublicKey(*publicKey);
    std::vector<unsigned char> out;
    if (!key || !Core::CardCrypto::RsaEncryptOaep(key.get(), detail.hash, detail.mgfHash, detail.label.data(),
                                                  detail.label.size(), pData, ulDataLen, &out) ||
        out.size() != modulusLength)
        return CKR_FUNCTION_FAILED;
    std::copy(out.begin(), out.end(), pEncryptedData);
    *pulEncryptedDataLen = out.size();
    return CKR_OK;
}

// CKM_RSA_PKCS encryption through the card core's public key.
CK_RV EncryptPkcs1(Core::RsaPublicKey* publicKey, CK_BYTE_PTR pData, CK_ULONG ulDataLen, CK_BYTE_PTR pEncryptedData,
                   CK_ULONG_PTR pulEncryptedDataLen, bool* lengthQuery) {
    CK_ULONG modulusLength = publicKey->GetModulusSize();
    if (modulusLength < CryptoFrame::kPkcs1Overhead || ulDataLen > modulusLength - CryptoFrame::kPkcs1Overhead)
        return CKR_DATA_LEN_RANGE;
    unsigned long length = *pulEncryptedDataLen;
    int result = publicKey->Encrypt(pData, ulDataLen, pEncryptedData, &length);
    if (result != 0) return result == Core::CoreBufferTooSmall ? CKR_BUFFER_TOO_SMALL : CKR_FUNCTION_FAILED;
    *pulEncryptedDataLen = length;
    *lengthQuery = pEncryptedData == nullptr;
    return CKR_OK;
}

}  // namespace

CK_RV Pkcs11Provider::C_Encrypt(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pData, CK_ULONG ulDataLen,
                                CK_BYTE_PTR pEncryptedData, CK_ULONG_PTR pulEncryptedDataLen) {
    static const char* const kMethod = "C_Encrypt";
    Core::Log* log = GetPkcs11Log();
    log->Info("Pkcs11Provider::C_Encrypt(0x%lX, %p, %lu, %p, %p)", hSession, static_cast<void*>(pData),
              ulDataLen, static_cast<void*>(pEncryptedData), static_cast<void*>(pulEncryptedDataLen));
    if (!IsInitialised()) return LogResult(kMethod, CKR_CRYPTOKI_NOT_INITIALIZED);
    if (hSession == 0 || pData == nullptr || pulEncryptedDataLen == nullptr)
        return LogResult(kMethod, CKR_ARGUMENTS_BAD);

    Held held;
    CK_RV rv = CallFrame::TakeSessionAndGroup(this, hSession, held);
    if (rv != CKR_OK) return LogResult(kMethod, rv);
    SessionGroup* group = held.group.get();

    bool keep = false;
    if (!CryptoFrame::OwnedBy(group->GetEncryptActive(), group->EncryptDetail(), hSession)) {
        // Not started here: another session's operation is left alone.
        keep = group->GetEncryptActive();
        rv = CKR_OPERATION_NOT_INITIALIZED;
    } else {
        Locked<Core::CoreObject> object(group->GetObjectList()->FindObject(group->GetEncryptKey(), true));
        if (!CryptoFrame::IsKeyOfType(object.get(), Core::KeyTypeRsaPublicKey)) {
            rv = CKR_FUNCTION_FAILED;
        } else {
            auto* publicKey = static_cast<Core::RsaPublicKey*>(object.get());
            const OperationDetail& detail = group->EncryptDetail();
            rv = detail.mechanism == CKM_RSA_PKCS_OAEP
                     ? EncryptOaep(publicKey, detail, pData, ulDataLen, pEncryptedData, pulEncryptedDataLen,
                                   &keep)
                     : EncryptPkcs1(publicKey, pData, ulDataLen, pEncryptedData, pulEncryptedDataLen, &keep);
        }
    }
    if (!keep) CryptoFrame::EndEncrypt(group);
    held.group.reset();
    held.session.reset();

    return CryptoFrame::LogOutput(kMethod, rv, "    velikost sifrovanych dat: %lu", "    sifrovana data:",
                                  pEncryptedData, *pulEncryptedDataLen);
}

CK_RV Pkcs11Provider::C_DecryptInit(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism,
                                    CK_OBJECT_HANDLE hKey) {
    static const char* const kMethod = "C_DecryptInit";
    Core::Log* log = GetPkcs11Log();
    log->Info("Pkcs11Provider::C_DecryptInit(0x%lX, %p, 0x%lX)", hSession, static_cast<void*>(pMechanism), hKey);
    if (!IsInitialised()) return LogResult(kMethod, CKR_CRYPTOKI_NOT_INITIALIZED);
    if (hSession == 0 || pMechanism == nullptr || hKey == 0) return LogResult(kMethod, CKR_ARGUMENTS_BAD);

    Held held;
    const Mechanisms::Mechanism* mechanism = nullptr;
    CK_RV rv = BeginCipherInit(this, hSession, pMechanism, CKF_DECRYPT, held, &mechanism);
    if (rv != CKR_OK) return LogResult(kMethod, rv);
    SessionGroup* group = held.group.get();
    OperationDetail detail;
    {
        // Pair before key object (lock order); the pair's absence is reported after the key checks.
        Locked<Core::ReaderCardPair> pair(CallFrame::LockPair(this, held.slot));
        Locked<Core::CoreObject> object(group->GetObjectList()->FindObject(hKey, true));
        rv = CheckCipherKey(object.get(), Core::KeyTypeRsaPrivateKey, false);
        if (rv != CKR_OK) return LogResult(kMethod, rv);
        if (!pair) return LogResult(kMethod, CKR_FUNCTION_FAILED);
        std::unique_ptr<Core::RsaPublicKey> publicKey(
            static_cast<Core::RsaPrivateKey*>(object.get())->GetPublicKey(pair.get()));
        if (!publicKey) {
            // Without its public key the key's size cannot be checked, so it is not used.
            log->Error("Pkcs11Provider::C_DecryptInit(): z privatniho klice nelze ziskat public klic - nemohu overit "
                       "velikost klice");
            return LogResult(kMethod, CKR_FUNCTION_FAILED);
        }
        rv = CheckCipherMechanism(*mechanism, *pMechanism, publicKey->GetModulusSize(), hSession, &detail);
        if (rv != CKR_OK) return LogResult(kMethod, rv);
    }
    group->SetDecryptKey(hKey);
    group->DecryptDetail() = std::move(detail);
    group->SetDecryptActive(true);
    return LogResult(kMethod, CKR_OK);
}

namespace {

CK_RV DecryptOnCard(SessionGroup* group, Core::ReaderCardPair* pair, Core::CoreObject* object,
                    CK_BYTE_PTR pEncryptedData, CK_ULONG ulEncryptedDataLen, CK_BYTE_PTR pData,
                    CK_ULONG_PTR pulDataLen, bool* lengthQuery) {
    if (pair == nullptr || !CryptoFrame::IsKeyOfType(object, Core::KeyTypeRsaPrivateKey)) return CKR_FUNCTION_FAILED;
    auto* privateKey = static_cast<Core::RsaPrivateKey*>(object);
    const Core::CardPrivateKeyRecord* record = privateKey->GetCardPrivateKeyRecord(pair);
    if (record == nullptr) return CKR_FUNCTION_FAILED;
    if (pData == nullptr) {
        std::unique_ptr<Core::RsaPublicKey> publicKey(privateKey->GetPublicKey(pair));
        if (!publicKey) return CKR_FUNCTION_FAILED;
        *pulDataLen = publicKey->GetModulusSize();
        *lengthQuery = true;
        return CKR_OK;
    }
    const OperationDetail& detail = group->DecryptDetail();
    const bool oaep = detail.mechanism == CKM_RSA_PKCS_OAEP;
    if (oaep && ulEncryptedDataLen != record->signatureLength) return CKR_ENCRYPTED_DATA_LEN_RANGE;
    return CryptoFrame::OnLoggedInCard(group, pair, Core::CardAuthIdUser, [&]() -> CK_RV {
        unsigned long length = *pulDataLen;
        int result;
        if (oaep) {
            // Open may have reloaded the card image: look the record up again.
            record = privateKey->GetCardPrivateKeyRecord(pair);
            result = record == nullptr ? static_cast<int>(Core::CoreNotFound)
                                       : pair->DecryptOaep(record, detail.hash, detail.mgfHash, detail.label.data(),
                                                           detail.label.size(), pEncryptedData, ulEncryptedDataLen,
                                                           pData, &length);
        } else {
            result = privateKey->Decrypt(pair, pEncryptedData, ulEncryptedDataLen, pData, &length);
        }
        switch (result) {
        case Core::CoreOk:
            *pulDataLen = length;
            return CKR_OK;
        case Core::CoreBufferTooSmall: return CKR_BUFFER_TOO_SMALL;
        case Core::CoreCardNotPresent: return CKR_DEVICE_REMOVED;
        case Core::CoreInvalidEncryptedData: return CKR_ENCRYPTED_DATA_INVALID;
        default:
            GetPkcs11Log()->Error("    error decrypting: %d", result);
            return CKR_FUNCTION_FAILED;
        }
    });
}

}  // namespace

CK_RV Pkcs11Provider::C_Decrypt(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pEncryptedData, CK_ULONG ulEncryptedDataLen,
                                CK_BYTE_PTR pData, CK_ULONG_PTR pulDataLen) {
    static const char* const kMethod = "C_Decrypt";
    Core::Log* log = GetPkcs11Log();
    log->Info("Pkcs11Provider::C_Decrypt(0x%lX, %p, %lu, %p, %p)", hSession,
              static_cast<void*>(pEncryptedData), ulEncryptedDataLen, static_cast<void*>(pData),
              static_cast<void*>(pulDataLen));
    if (!IsInitialised()) return LogResult(kMethod, CKR_CRYPTOKI_NOT_INITIALIZED);
    if (hSession == 0 || pEncryptedData == nullptr || pulDataLen == nullptr)
        return LogResult(kMethod, CKR_ARGUMENTS_BAD);

    Held held;
    CK_RV rv = CallFrame::TakeSessionAndGroup(this, hSession, held);
    if (rv != CKR_OK) return LogResult(kMethod, rv);
    SessionGroup* group = held.group.get();

    bool keep = false;
    if (!CryptoFrame::OwnedBy(group->GetDecryptActive(), group->DecryptDetail(), hSession)) {
        // Not started here: another session's operation is left alone.
        keep = group->GetDecryptActive();
        rv = CKR_OPERATION_NOT_INITIALIZED;
    } else {
        Locked<Core::ReaderCardPair> pair(CallFrame::LockPair(this, held.slot));
        Locked<Core::CoreObject> object;
        if (pair) object.reset(group->GetObjectList()->FindObject(group->GetDecryptKey(), true));
        rv = object ? DecryptOnCard(group, pair.get(), object.get(), pEncryptedData, ulEncryptedDataLen, pData,
                                    pulDataLen, &keep)
                    : CKR_FUNCTION_FAILED;
    }
    if (!keep) CryptoFrame::EndDecrypt(group);
    held.group.reset();
    held.session.reset();

    // The length only: the plaintext is a secret at every log level.
    return CryptoFrame::LogOutput(kMethod, rv, "    velikost desifrovanych dat: %lu", nullptr, nullptr, *pulDataLen);
}

}  // namespace Pkcs11
}  // namespace Vellumcrest
