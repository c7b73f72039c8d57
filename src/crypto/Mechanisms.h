// The one mechanism table: what C_GetMechanismList and C_GetMechanismInfo report and what
// every *Init accepts, for both settings of [Pkcs11] ExtendedMechanisms, with the key
// sizes and the parameter checks of the mechanisms that take parameters.
#pragma once

#include <cstddef>

#include "core/CoreTypes.h"
#include "session/Session.h"
#include "vellumcrest/pkcs11.h"

namespace Vellumcrest {
namespace Pkcs11 {
namespace Mechanisms {

enum class Kind {
    Digest,
    KeyPairGen,
    RsaRaw,      // CKM_RSA_PKCS: the caller's finished PKCS#1 v1.5 input
    RsaHash,     // CKM_SHA*_RSA_PKCS: PKCS#1 v1.5 over a DigestInfo of the message
    RsaPss,      // CKM_RSA_PKCS_PSS: PSS over a digest the caller computed
    RsaHashPss,  // CKM_SHA*_RSA_PKCS_PSS: PSS over the digest of the message
    RsaOaep,
};

enum class Listing {
    Classic,   // listed in both settings
    Extended,  // listed with ExtendedMechanisms=1 only
    Never,     // accepted by the classic module for classicFunctions only, never listed
};

struct Mechanism {
    CK_MECHANISM_TYPE type;
    CK_ULONG minKeyBits;
    CK_ULONG maxKeyBits;
    CK_FLAGS flags;  // reported, and the functions accepted wherever the entry is listed
    Kind kind;
    Core::HashType hash;  // of Digest, RsaHash and RsaHashPss; HashTypeSsl3 otherwise
    Listing listing;
    // Functions the classic module accepts although the entry is not listed there.
    CK_FLAGS classicFunctions;
};

// The setting of the loaded configuration.
bool Extended();

// Number of listed mechanisms; with out given, their types are stored in table order.
CK_ULONG List(CK_MECHANISM_TYPE* out);
// The listed entry of a type, or null.
const Mechanism* Listed(CK_MECHANISM_TYPE type);
// The entry that the current setting accepts for one function (CKF_SIGN, CKF_VERIFY,
// CKF_ENCRYPT, CKF_DECRYPT or CKF_DIGEST), or null.
const Mechanism* ForFunction(CK_MECHANISM_TYPE type, CK_FLAGS function);
// The entry of a type whatever the setting (for an operation already initialised).
const Mechanism* Find(CK_MECHANISM_TYPE type);

// The hash the module computes over the message of a hash-and-sign mechanism; for the others
// HashTypeSsl3, the marker of data taken as it is.
Core::HashType MessageHash(const Mechanism& mechanism);

// The card's key sizes: a modulus of exactly the least or the greatest size of the entry.
bool KeySizeAllowed(const Mechanism& mechanism, unsigned long modulusBytes);

// Digest length of a SHA-1/SHA-2 hash type; 0 for any other.
unsigned long DigestLength(Core::HashType hash);

// Checks the parameter of a PSS or OAEP mechanism against the key and records it in detail
// (other mechanisms take none, and what they are given is not looked at). modulusBytes 0:
// the key's size is unknown and the checks that need it are left to the card.
// CKR_MECHANISM_PARAM_INVALID for a bad parameter.
CK_RV ReadParameter(const Mechanism& mechanism, const CK_MECHANISM& given, unsigned long modulusBytes,
                    OperationDetail* detail);

}  // namespace Mechanisms
}  // namespace Pkcs11
}  // namespace Vellumcrest
