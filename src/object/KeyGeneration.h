// Key-pair generation: what the two templates of C_GenerateKeyPair ask for, and the kind
// of key the card is to make of it.
#pragma once

#include "core/CoreTypes.h"
#include "core/Csp.h"
#include "vellumcrest/pkcs11.h"

namespace Vellumcrest {
namespace Pkcs11 {
namespace KeyGeneration {

// Usage bits of the public and the private template (values of Core::KeyPairFlags), and
// the label and identifier to store (pointers into the caller's template).
struct Request {
    int publicUsage = 0;
    int privateUsage = 0;
    const unsigned char* label = nullptr;
    CK_ULONG labelLength = 0;
    const unsigned char* id = nullptr;
    CK_ULONG idLength = 0;
};

enum class KeyKind { Encryption, Signature, Esign, Application };

// Longest label stored with a key: 40 bytes, 80 on cards of type 3 and 4.
CK_ULONG LabelLimit(int cardType);

bool HasAttribute(const CK_ATTRIBUTE* pTemplate, CK_ULONG count, CK_ATTRIBUTE_TYPE type);

// Template scans in order; the first error is logged and ends the scan with
// CKR_TEMPLATE_INCONSISTENT. The private scan starts from the public modulus size.
CK_RV ScanPublicTemplate(const CK_ATTRIBUTE* pTemplate, CK_ULONG count, CK_ULONG labelLimit, Request* request);
CK_RV ScanPrivateTemplate(const CK_ATTRIBUTE* pTemplate, CK_ULONG count, CK_ULONG labelLimit, Request* request);

// Usages that do not go together (each is logged); CKR_TEMPLATE_INCONSISTENT.
CK_RV CheckCombination(const Request& request);

// The kind of key: by usage, and for a signature key on a type-4 card by the configured
// signature key type or else the key-type dialog (CKR_FUNCTION_CANCELED when the user
// does not choose). CKR_TEMPLATE_INCONSISTENT for a usage that makes no key.
CK_RV ChooseKeyKind(const Request& request, int cardType, Core::SignatureKeyType configured, Csp::Csp* csp,
                    KeyKind* kind);

// The key-pair flags the card is asked for.
int CardKeyPairFlags(const Request& request, KeyKind kind, int cardType);

}  // namespace KeyGeneration
}  // namespace Pkcs11
}  // namespace Vellumcrest
