// Signing on the card: C_SignInit and C_Sign, and the signature work that C_SignFinal
// shares. Raw CKM_RSA_PKCS takes the finished PKCS#1 v1.5 input (e.g. a DER DigestInfo);
// with ExtendedMechanisms also PSS over a digest and the hash-and-sign mechanisms. The
// private key never leaves the card core.
#include <memory>
#include <new>
#include <vector>

#include "core/CoreObjects.h"
#include "core/Hash.h"
#include "core/ProcessTrustVerifier.h"
#include "core/Reader.h"
#include "crypto/CryptoFrame.h"
#include "crypto/Mechanisms.h"
#include "crypto/Operations.h"
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

    const Mechanisms::Mechanism* mechanism = Mechanisms::ForFunction(pMechanism->mechanism, CKF_SIGN);
    if (mechanism == nullptr) {
        log->Error("    nepodporovany mechanismus: 0x%lX", pMechanism->mechanism);
        return LogResult(kMethod, CKR_MECHANISM_INVALID);
    }
    std::unique_ptr<Core::Hash> hash(CreateHash(Mechanisms::MessageHash(*mechanism)));
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
    unsigned long modulusBytes = 0;
    if (publicKey) {
        modulusBytes = publicKey->GetModulusSize();
        if (!Mechanisms::KeySizeAllowed(*mechanism, modulusBytes)) return LogResult(kMethod, CKR_KEY_SIZE_RANGE);
    } else {
        log->Warning("Pkcs11Provider::C_SignInit(): z privatniho klice nelze ziskat public klic - nemohu overit "
                     "velikost klice");
    }
    publicKey.reset();
    pair.reset();
    OperationDetail detail;
    rv = Mechanisms::ReadParameter(*mechanism, *pMechanism, modulusBytes, &detail);
    if (rv != CKR_OK) return LogResult(kMethod, rv);
    detail.owner = hSession;

    group->SetSignHash(hash.release());
    group->SetSignKey(hKey);
    group->SetAlwaysAuthenticate(alwaysAuthenticate);
    group->SetContextLoginDone(false);
    group->SignDetail() = std::move(detail);
    group->SetSignActive(true);
    return LogResult(kMethod, CKR_OK);
}

namespace Operations {

bool ReauthenticationMissing(SessionGroup* group, const char* method) {
    if (!group->GetAlwaysAuthenticate() || group->GetContextLoginDone()) return false;
    GetPkcs11Log()->Error("Pkcs11Provider::%s(): Re-authentication is required before each use of this private key. "
                          "Re-authentication occurs by calling C_Login with userType set to CKU_CONTEXT_SPECIFIC "
                          "after a cryptographic operation has been initiated.",
                          method);
    return true;
}

bool MultiPart(CK_MECHANISM_TYPE type) {
    const Mechanisms::Mechanism* mechanism = Mechanisms::Find(type);
    return mechanism != nullptr && Mechanisms::MessageHash(*mechanism) != Core::HashTypeSsl3;
}

namespace {

// What goes to the card: the raw input, a DigestInfo or a digest for PSS.
struct CardInput {
    const unsigned char* data = nullptr;
    unsigned long length = 0;
    std::vector<unsigned char> built;
};

// The input of the card operation, once the signature is wanted. Hashing mechanisms
// finish their hash here (single-part: over data first).
bool prepareInput(Mechanisms::Kind kind, Core::Hash* hash, const CK_BYTE* data, CK_ULONG length, bool final,
                  CardInput* input) {
    if (kind == Mechanisms::Kind::RsaRaw || kind == Mechanisms::Kind::RsaPss) {
        input->data = data;
        input->length = length;
        return true;
    }
    if (!final) hash->Update(data, length);
    hash->Final();
    if (kind == Mechanisms::Kind::RsaHashPss) {
        input->data = hash->GetHash();
        input->length = hash->GetSize();
        return true;
    }
    unsigned long prefixLength = 0;
    const unsigned char* prefix = Core::DigestInfoPrefix(hash->GetType(), &prefixLength);
    if (prefix == nullptr) return false;
    try {
        input->built.assign(prefix, prefix + prefixLength);
        input->built.insert(input->built.end(), hash->GetHash(), hash->GetHash() + hash->GetSize());
    } catch (const std::bad_alloc&) {
        return false;
    }
    input->data = input->built.data();
    input->length = input->built.size();
    return true;
}

// The card part, under the group, the pair and the key object.
CK_RV signOnCard(SessionGroup* group, Core::ReaderCardPair* pair, Core::CoreObject* object, const CK_BYTE* pData,
                 CK_ULONG ulDataLen, bool final, CK_BYTE_PTR pSignature, CK_ULONG_PTR pulSignatureLen, bool* keep) {
    Core::Log* log = GetPkcs11Log();
    if (pair == nullptr || !CryptoFrame::IsKeyOfType(object, Core::KeyTypeRsaPrivateKey)) return CKR_FUNCTION_FAILED;
    auto* privateKey = static_cast<Core::RsaPrivateKey*>(object);
    const Core::CardPrivateKeyRecord* record = privateKey->GetCardPrivateKeyRecord(pair);
    if (record == nullptr) return CKR_FUNCTION_FAILED;
    Core::Hash* hash = group->GetSignHash();
    const OperationDetail& detail = group->SignDetail();
    const Mechanisms::Mechanism* mechanism = Mechanisms::Find(detail.mechanism);
    if (hash == nullptr || mechanism == nullptr) return CKR_FUNCTION_FAILED;

    const CK_ULONG signatureLength = record->signatureLength;
    const int authId = record->authId;
    const Mechanisms::Kind kind = mechanism->kind;
    if (kind == Mechanisms::Kind::RsaRaw &&
        (ulDataLen > signatureLength || signatureLength < CryptoFrame::kPkcs1Overhead ||
         ulDataLen > signatureLength - CryptoFrame::kPkcs1Overhead))
        return CKR_DATA_LEN_RANGE;
    if (kind == Mechanisms::Kind::RsaPss && ulDataLen != Mechanisms::DigestLength(detail.hash))
        return CKR_DATA_LEN_RANGE;
    if (pSignature == nullptr) {
        *pulSignatureLen = signatureLength;
        *keep = true;
        return CKR_OK;
    }
    if (*pulSignatureLen < signatureLength) {
        // C_SignFinal tells the length and keeps the operation; C_Sign ends it.
        if (final) {
            *pulSignatureLen = signatureLength;
            *keep = true;
        }
        return CKR_BUFFER_TOO_SMALL;
    }

    CardInput input;
    if (!prepareInput(kind, hash, pData, ulDataLen, final, &input)) return CKR_FUNCTION_FAILED;
    log->DebugData(input.data, CryptoFrame::DumpLength(input.length), "    data k podpisu:");
    bool pss = kind == Mechanisms::Kind::RsaPss || kind == Mechanisms::Kind::RsaHashPss;
    return CryptoFrame::OnLoggedInCard(group, pair, authId, [&]() -> CK_RV {
        // Open may have reloaded the card image: look the record up again.
        record = privateKey->GetCardPrivateKeyRecord(pair);
        unsigned long length = *pulSignatureLen;
        int result = static_cast<int>(Core::CoreNotFound);
        if (record != nullptr)
            result = pss ? pair->SignPss(record, detail.hash, detail.mgfHash, detail.saltLength, input.data,
                                         input.length, pSignature, &length)
                         : pair->Sign(record, input.data, input.length, pSignature, &length);
        if (result != 0) {
            log->Error("    chyba podepisovani: 0x%x", static_cast<unsigned int>(result));
            return CKR_FUNCTION_FAILED;
        }
        *pulSignatureLen = length;
        return CKR_OK;
    });
}

}  // namespace

CK_RV Sign(Pkcs11Provider* provider, Held& held, const CK_BYTE* data, CK_ULONG length, bool final,
           CK_BYTE_PTR pSignature, CK_ULONG_PTR pulSignatureLen, bool* keep) {
    SessionGroup* group = held.group.get();
    Locked<Core::ReaderCardPair> pair(CallFrame::LockPair(provider, held.slot));
    Locked<Core::CoreObject> object;
    if (pair) object.reset(group->GetObjectList()->FindObject(group->GetSignKey(), true));
    if (!object) return CKR_FUNCTION_FAILED;
    return signOnCard(group, pair.get(), object.get(), data, length, final, pSignature, pulSignatureLen, keep);
}

}  // namespace Operations

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

    bool keep = false;
    if (!CryptoFrame::OwnedBy(group->GetSignActive(), group->SignDetail(), hSession)) {
        // Not started here: another session's operation is left alone.
        keep = group->GetSignActive();
        rv = CKR_OPERATION_NOT_INITIALIZED;
    } else if (group->SignDetail().multiPart) {
        // C_Sign cannot finish an operation fed by C_SignUpdate.
        rv = CKR_OPERATION_ACTIVE;
    } else if (Operations::ReauthenticationMissing(group, kMethod)) {
        rv = CKR_USER_NOT_LOGGED_IN;
    } else {
        rv = Operations::Sign(this, held, pData, ulDataLen, false, pSignature, pulSignatureLen, &keep);
    }
    if (!keep) CryptoFrame::EndSign(group);
    held.group.reset();
    held.session.reset();

    return CryptoFrame::LogOutput(kMethod, rv, "    velikost podpisu: %lu", "    podpis:", pSignature,
                                  *pulSignatureLen);
}

}  // namespace Pkcs11
}  // namespace Vellumcrest
