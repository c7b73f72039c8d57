// Helpers of the cryptographic provider methods: key checks, ending an operation, the
// card frame of a private-key operation and output dumps. The session preamble is CallFrame.
#pragma once

#include <algorithm>
#include <vector>

#include "core/CardCrypto.h"
#include "core/CoreObjects.h"
#include "core/Log.h"
#include "module/Globals.h"
#include "module/Locked.h"
#include "module/Pkcs11Provider.h"
#include "session/CallFrame.h"
#include "session/Session.h"
#include "vellumcrest/pkcs11.h"

namespace Vellumcrest {
namespace Pkcs11 {
namespace CryptoFrame {

inline bool IsKeyOfType(const Core::CoreObject* object, Core::KeyType keyType) {
    if (object == nullptr || object->GetCoreObjectType() != Core::CoreObjectTypeKey) return false;
    return static_cast<const Core::Key*>(object)->GetKeyType() == keyType;
}

inline void EndDigest(SessionGroup* group) { group->EndDigest(); }
inline void EndSign(SessionGroup* group) { group->EndSign(); }
inline void EndVerify(SessionGroup* group) { group->EndVerify(); }
inline void EndEncrypt(SessionGroup* group) { group->EndEncrypt(); }
inline void EndDecrypt(SessionGroup* group) { group->EndDecrypt(); }

// An operation belongs to the session that started it: for any other session of the slot
// it is not there (and is left running).
inline bool OwnedBy(bool active, const OperationDetail& detail, CK_SESSION_HANDLE hSession) {
    return active && detail.owner == hSession;
}

// The card frame of a private-key operation: opens the card, logs it in from the PIN
// cache with authId, runs work, logs out after a successful login and closes the card.
template <typename Work>
CK_RV OnLoggedInCard(SessionGroup* group, Core::ReaderCardPair* pair, int authId, Work work) {
    if (pair->Open() != 0) return CKR_FUNCTION_FAILED;
    CK_RV rv = group->LoginFromPINCache(authId, pair);
    if (rv == CKR_OK) {
        rv = work();
        pair->Logout();
    }
    pair->Close();
    return rv;
}

// Data dumps take a 16-bit length; longer buffers are shown up to that limit.
inline unsigned short DumpLength(CK_ULONG length) {
    return static_cast<unsigned short>(std::min<CK_ULONG>(length, 0xFFFF));
}

// Exit line of a call that produced output; on success also its length and the bytes.
inline CK_RV LogOutput(const char* method, CK_RV rv, const char* lengthLine, const char* dataTitle,
                       const CK_BYTE* data, CK_ULONG length) {
    LogResult(method, rv);
    if (rv == CKR_OK) {
        GetPkcs11Log()->Info(lengthLine, length);
        if (data != nullptr) GetPkcs11Log()->InfoData(data, DumpLength(length), "%s", dataTitle);
    }
    return rv;
}

// The public key as an OpenSSL key, for the padding modes the card core's RsaPublicKey lacks.
inline Core::PkeyPtr OpenSslPublicKey(const Core::RsaPublicKey& key) {
    std::vector<unsigned char> modulus(key.GetModulus(), key.GetModulus() + key.GetModulusSize());
    std::vector<unsigned char> exponent(key.GetExponent(), key.GetExponent() + key.GetExponentSize());
    return Core::CardCrypto::RsaPublicFromComponents(modulus, exponent);
}

// RSA PKCS#1 v1.5 leaves room for at most modulus length - 11 bytes of data.
constexpr CK_ULONG kPkcs1Overhead = 11;

}  // namespace CryptoFrame
}  // namespace Pkcs11
}  // namespace Vellumcrest
