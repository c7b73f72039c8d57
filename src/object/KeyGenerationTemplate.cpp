// Template scans, combination checks and the key kind of C_GenerateKeyPair.
#include <cstring>

#include "core/Log.h"
#include "crypto/Mechanisms.h"
#include "module/Globals.h"
#include "object/KeyGeneration.h"

namespace Vellumcrest {
namespace Pkcs11 {
namespace KeyGeneration {

namespace {

constexpr CK_ULONG kIdLimit = 32;
const unsigned char kExponent65537[] = {0x01, 0x00, 0x01};

// A CK_BBOOL counts as TRUE only when its byte is 1.
bool isTrue(const CK_ATTRIBUTE& attribute) {
    return attribute.pValue != nullptr && attribute.ulValueLen >= 1 &&
           *static_cast<const CK_BYTE*>(attribute.pValue) == 1;
}

// False for a value that is not a CK_ULONG (it then matches nothing).
bool ulongValue(const CK_ATTRIBUTE& attribute, CK_ULONG* value) {
    if (attribute.pValue == nullptr || attribute.ulValueLen != sizeof(CK_ULONG)) return false;
    std::memcpy(value, attribute.pValue, sizeof(CK_ULONG));
    return true;
}

bool ulongIs(const CK_ATTRIBUTE& attribute, CK_ULONG expected) {
    CK_ULONG value = 0;
    return ulongValue(attribute, &value) && value == expected;
}

CK_RV templateError(const char* message) {
    GetPkcs11Log()->Error("Pkcs11Provider::C_GenerateKeyPair(): %s", message);
    return CKR_TEMPLATE_INCONSISTENT;
}

// CKA_LABEL and CKA_ID, common to both scans: a value within its limit replaces the one
// remembered so far, a longer one is ignored with a warning.
void rememberLabelOrId(const CK_ATTRIBUTE& attribute, CK_ULONG labelLimit, Request* request) {
    const bool label = attribute.type == CKA_LABEL;
    const CK_ULONG limit = label ? labelLimit : kIdLimit;
    if (attribute.ulValueLen > limit) {
        GetPkcs11Log()->Warning(label ? "Pkcs11Provider::C_GenerateKeyPair(): v sablone byl predan prilis dlouhy "
                                        "CKA_LABEL, nebude ulozen"
                                      : "Pkcs11Provider::C_GenerateKeyPair(): v sablone bylo predano prilis dlouhe "
                                        "CKA_ID, nebude ulozeno");
        return;
    }
    if (attribute.pValue == nullptr && attribute.ulValueLen != 0) return;
    const auto* value = static_cast<const unsigned char*>(attribute.pValue);
    if (label) {
        request->label = value;
        request->labelLength = attribute.ulValueLen;
    } else {
        request->id = value;
        request->idLength = attribute.ulValueLen;
    }
}

void setUsage(const CK_ATTRIBUTE& attribute, int bit, int* usage) {
    if (isTrue(attribute)) *usage |= bit;
}

}  // namespace

CK_ULONG LabelLimit(int cardType) { return cardType == 3 || cardType == 4 ? 80 : 40; }

bool HasAttribute(const CK_ATTRIBUTE* pTemplate, CK_ULONG count, CK_ATTRIBUTE_TYPE type) {
    for (CK_ULONG i = 0; i < count; ++i)
        if (pTemplate[i].type == type) return true;
    return false;
}

CK_RV ScanPublicTemplate(const CK_ATTRIBUTE* pTemplate, CK_ULONG count, CK_ULONG labelLimit, Request* request) {
    int& usage = request->publicUsage;
    for (CK_ULONG i = 0; i < count; ++i) {
        const CK_ATTRIBUTE& attribute = pTemplate[i];
        switch (attribute.type) {
        case CKA_CLASS:
            if (!ulongIs(attribute, CKO_PUBLIC_KEY))
                return templateError("chybna trida objektu pro verejny klic (musi byt CKO_PUBLIC_KEY)");
            break;
        case CKA_KEY_TYPE:
            if (!ulongIs(attribute, CKK_RSA)) return templateError("chybny typ verejneho klice - musi byt CKK_RSA");
            break;
        case CKA_MODULUS_BITS: {
            CK_ULONG bits = 0;
            const Mechanisms::Mechanism* generation = Mechanisms::Find(CKM_RSA_PKCS_KEY_PAIR_GEN);
            if (!ulongValue(attribute, &bits) || bits % 8 != 0 || !Mechanisms::KeySizeAllowed(*generation, bits / 8))
                return templateError("nepodporovana velikost klice - musi byt 1024 nebo 2048 bitu");
            if (bits == 2048) usage |= Core::KeyPairFlag2048;
            break;
        }
        case CKA_PUBLIC_EXPONENT:
            if (attribute.pValue == nullptr || attribute.ulValueLen != sizeof kExponent65537 ||
                std::memcmp(attribute.pValue, kExponent65537, sizeof kExponent65537) != 0)
                return templateError("nepodporovany exponent verejneho klice - musi byt 0x10001");
            break;
        case CKA_LABEL:
        case CKA_ID:
            rememberLabelOrId(attribute, labelLimit, request);
            break;
        case CKA_ENCRYPT:
            setUsage(attribute, Core::KeyPairFlagDecrypt, &usage);
            break;
        case CKA_VERIFY:
            setUsage(attribute, Core::KeyPairFlagSign, &usage);
            break;
        case CKA_ESIGN:
            setUsage(attribute, Core::KeyPairFlagEsign, &usage);
            break;
        case CKA_ORVOAPP:
            setUsage(attribute, Core::KeyPairFlagApplication, &usage);
            break;
        default:
            break;
        }
    }
    return CKR_OK;
}

CK_RV ScanPrivateTemplate(const CK_ATTRIBUTE* pTemplate, CK_ULONG count, CK_ULONG labelLimit, Request* request) {
    int& usage = request->privateUsage;
    usage = request->publicUsage & Core::KeyPairFlag2048;
    for (CK_ULONG i = 0; i < count; ++i) {
        const CK_ATTRIBUTE& attribute = pTemplate[i];
        switch (attribute.type) {
        case CKA_CLASS:
            if (!ulongIs(attribute, CKO_PRIVATE_KEY)) return templateError("chybna trida objektu pro privani klic");
            break;
        case CKA_TOKEN:
            if (!isTrue(attribute)) return templateError("TOKEN atribut privatniho klice nesmi byt FALSE");
            break;
        case CKA_PRIVATE:
            if (!isTrue(attribute)) return templateError("PRIVATE atribut privatniho klice nesmi byt FALSE");
            break;
        case CKA_KEY_TYPE:
            if (!ulongIs(attribute, CKK_RSA)) return templateError("chybny typ privatniho klice - musi byt CKK_RSA");
            break;
        case CKA_LABEL:
        case CKA_ID:
            rememberLabelOrId(attribute, labelLimit, request);
            break;
        case CKA_DECRYPT:
            setUsage(attribute, Core::KeyPairFlagDecrypt, &usage);
            break;
        case CKA_SIGN:
            setUsage(attribute, Core::KeyPairFlagSign, &usage);
            break;
        case CKA_ESIGN:
            setUsage(attribute, Core::KeyPairFlagEsign, &usage);
            break;
        case CKA_ORVOAPP:
            setUsage(attribute, Core::KeyPairFlagApplication, &usage);
            break;
        default:
            break;
        }
    }
    return CKR_OK;
}

CK_RV CheckCombination(const Request& request) {
    auto either = [&](int a, int b) {
        return ((request.publicUsage & a) != 0 && (request.publicUsage & b) != 0) ||
               ((request.privateUsage & a) != 0 && (request.privateUsage & b) != 0);
    };
    CK_RV rv = CKR_OK;
    if (either(Core::KeyPairFlagEsign, Core::KeyPairFlagDecrypt))
        rv = templateError("atribut CKA_ESIGN nelze kombinovat s atributy CKA_ENCRYPT nebo CKA_DECRYPT");
    if (either(Core::KeyPairFlagEsign, Core::KeyPairFlagApplication))
        rv = templateError("atribut CKA_ESIGN nelze kombinovat s atributem CKA_ORVOAPP");
    return rv;
}

CK_RV ChooseKeyKind(const Request& request, int cardType, Core::SignatureKeyType configured, Csp::Csp* csp,
                    KeyKind* kind) {
    auto any = [&](int bit) { return ((request.publicUsage | request.privateUsage) & bit) != 0; };
    auto both = [&](int bit) { return (request.publicUsage & request.privateUsage & bit) != 0; };
    if (any(Core::KeyPairFlagDecrypt)) {
        *kind = KeyKind::Encryption;
    } else if (both(Core::KeyPairFlagEsign)) {
        *kind = KeyKind::Esign;
    } else if (both(Core::KeyPairFlagApplication)) {
        *kind = KeyKind::Application;
    } else if (both(Core::KeyPairFlagSign)) {
        if (cardType != 4) {
            *kind = KeyKind::Signature;
        } else if (configured == Core::SignatureKeyTypeEsign) {
            *kind = KeyKind::Esign;
        } else if (configured == Core::SignatureKeyTypeApplication) {
            *kind = KeyKind::Application;
        } else {
            Core::SignatureKeyType chosen = Core::SignatureKeyTypeAsk;
            if (csp == nullptr || csp->CspSelectKeyTypeUI(&chosen, nullptr) != 0) return CKR_FUNCTION_CANCELED;
            *kind = chosen == Core::SignatureKeyTypeEsign ? KeyKind::Esign : KeyKind::Application;
        }
    } else {
        return templateError("nepodporovana kombinace typu klicu");
    }
    return CKR_OK;
}

int CardKeyPairFlags(const Request& request, KeyKind kind, int cardType) {
    const int size = request.privateUsage & Core::KeyPairFlag2048;
    if (kind == KeyKind::Encryption) {
        // A private template that also asks for signing gets a key that signs too; on a
        // type-4 card signature keys are only made as e-signature or application keys.
        int sign = cardType != 4 ? (request.privateUsage & Core::KeyPairFlagSign) : 0;
        return Core::KeyPairFlagDecrypt | sign | size;
    }
    int flags = Core::KeyPairFlagSign | size;
    if (cardType == 4 && kind == KeyKind::Esign) flags |= Core::KeyPairFlagEsign;
    if (cardType == 4 && kind == KeyKind::Application) flags |= Core::KeyPairFlagApplication;
    return flags;
}

}  // namespace KeyGeneration
}  // namespace Pkcs11
}  // namespace Vellumcrest
