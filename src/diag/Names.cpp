// Names of attribute types and values, and the logging of attributes and templates.
#include "diag/Names.h"

#include <cstring>

#include "core/Log.h"
#include "module/Globals.h"

namespace Vellumcrest {
namespace Pkcs11 {
namespace {

constexpr CK_ULONG kMaxLoggedValueLength = 0x1000;

enum class PrintKind { Bool, Number, NamedValue, Date, Bytes, Secret, Other };

PrintKind printKind(CK_ATTRIBUTE_TYPE type) {
    switch (type) {
        case CKA_TOKEN: case CKA_PRIVATE: case CKA_TRUSTED: case CKA_SENSITIVE: case CKA_ENCRYPT:
        case CKA_DECRYPT: case CKA_WRAP: case CKA_UNWRAP: case CKA_SIGN: case CKA_SIGN_RECOVER:
        case CKA_VERIFY: case CKA_VERIFY_RECOVER: case CKA_DERIVE: case CKA_EXTRACTABLE: case CKA_LOCAL:
        case CKA_NEVER_EXTRACTABLE: case CKA_ALWAYS_SENSITIVE: case CKA_MODIFIABLE:
        case CKA_ALWAYS_AUTHENTICATE: case CKA_WRAP_WITH_TRUSTED: case CKA_RESET_ON_INIT:
        case CKA_HAS_RESET: case CKA_COLOR: case CKA_TWINS: case CKA_ESIGN: case CKA_ORVOAPP:
            return PrintKind::Bool;
        case CKA_MODULUS_BITS:
            return PrintKind::Number;
        case CKA_CLASS: case CKA_CERTIFICATE_TYPE: case CKA_CERTIFICATE_CATEGORY:
        case CKA_JAVA_MIDP_SECURITY_DOMAIN: case CKA_KEY_TYPE: case CKA_HW_FEATURE_TYPE:
        case CKA_KEY_GEN_MECHANISM: case CKA_PIXEL_X: case CKA_PIXEL_Y: case CKA_RESOLUTION:
        case CKA_CHAR_ROWS: case CKA_CHAR_COLUMNS: case CKA_BITS_PER_PIXEL:
            return PrintKind::NamedValue;
        case CKA_START_DATE: case CKA_END_DATE:
            return PrintKind::Date;
        case CKA_LABEL: case CKA_APPLICATION: case CKA_VALUE: case CKA_OBJECT_ID: case CKA_ISSUER:
        case CKA_SERIAL_NUMBER: case CKA_AC_ISSUER: case CKA_OWNER: case CKA_ATTR_TYPES: case CKA_URL:
        case CKA_HASH_OF_SUBJECT_PUBLIC_KEY: case CKA_HASH_OF_ISSUER_PUBLIC_KEY: case CKA_CHECK_VALUE:
        case CKA_SUBJECT: case CKA_ID: case CKA_MODULUS: case CKA_PUBLIC_EXPONENT: case CKA_CHAR_SETS:
        case CKA_ENCODING_METHODS: case CKA_MIME_TYPES: case CKA_WRAP_TEMPLATE: case CKA_UNWRAP_TEMPLATE:
        case CKA_ALLOWED_MECHANISMS: case CKA_VELLUMCREST_PROOF:
            return PrintKind::Bytes;
        // Private key material never goes to the log.
        case CKA_PRIVATE_EXPONENT: case CKA_PRIME_1: case CKA_PRIME_2: case CKA_EXPONENT_1:
        case CKA_EXPONENT_2: case CKA_COEFFICIENT:
            return PrintKind::Secret;
        default:
            return PrintKind::Other;
    }
}

const char* valueName(CK_ATTRIBUTE_TYPE type, CK_ULONG number) {
    switch (type) {
        case CKA_CLASS:
            switch (number) {
                case CKO_DATA: return "CKO_DATA";
                case CKO_CERTIFICATE: return "CKO_CERTIFICATE";
                case CKO_PUBLIC_KEY: return "CKO_PUBLIC_KEY";
                case CKO_PRIVATE_KEY: return "CKO_PRIVATE_KEY";
                case CKO_SECRET_KEY: return "CKO_SECRET_KEY";
            }
            break;
        case CKA_CERTIFICATE_TYPE:
            switch (number) {
                case CKC_X_509: return "CKC_X_509";
                case CKC_X_509_ATTR_CERT: return "CKC_X_509_ATTR_CERT";
                case CKC_WTLS: return "CKC_WTLS";
            }
            break;
        case CKA_CERTIFICATE_CATEGORY:
            switch (number) {
                case 0: return "unspecified";
                case 1: return "token user";
                case 2: return "authority";
                case 3: return "other entity";
            }
            break;
        case CKA_JAVA_MIDP_SECURITY_DOMAIN:
            switch (number) {
                case 0: return "unspecified";
                case 1: return "manufacturer";
                case 2: return "operator";
                case 3: return "third party";
            }
            break;
        case CKA_KEY_TYPE:
            switch (number) {
                case CKK_RSA: return "CKK_RSA";
                case CKK_RC2: return "CKK_RC2";
                case CKK_RC4: return "CKK_RC4";
                case CKK_DES: return "CKK_DES";
                case CKK_DES3: return "CKK_DES3";
            }
            break;
        case CKA_HW_FEATURE_TYPE:
            switch (number) {
                case CKH_MONOTONIC_COUNTER: return "CKH_MONOTONIC_COUNTER";
                case CKH_CLOCK: return "CKH_CLOCK";
                case CKH_USER_INTERFACE: return "CKH_USER_INTERFACE";
                case CKH_VENDOR_DEFINED: return "CKH_VENDOR_DEFINED";
            }
            break;
        case CKA_PIXEL_X: case CKA_PIXEL_Y: case CKA_RESOLUTION: case CKA_CHAR_ROWS:
        case CKA_CHAR_COLUMNS: case CKA_BITS_PER_PIXEL:
            return "-";
        default:
            break;
    }
    return "UNKNOWN";
}

void logNull(Core::Log* log, int level, const char* prefix, const char* name, CK_ATTRIBUTE_TYPE type) {
    log->Write(level, "%s%s (0x%lx) = null", prefix, name, type);
}

void logBytes(Core::Log* log, int level, const char* prefix, const char* name, const CK_ATTRIBUTE& attribute) {
    if (attribute.pValue == nullptr || attribute.ulValueLen == 0) {
        logNull(log, level, prefix, name, attribute.type);
    } else if (attribute.ulValueLen <= kMaxLoggedValueLength) {
        log->WriteData(level, attribute.pValue, static_cast<unsigned short>(attribute.ulValueLen),
                       "%s%s (0x%lx) = ", prefix, name, attribute.type);
    } else {
        log->Write(level, "%s%s (0x%lx) = hodnota prilis dlouha (attr.ulValueLen=%lu)", prefix, name,
                   attribute.type, attribute.ulValueLen);
    }
}

// A value that is secret: only its presence and length are logged.
void logSecret(Core::Log* log, int level, const char* prefix, const char* name, const CK_ATTRIBUTE& attribute) {
    if (attribute.pValue == nullptr || attribute.ulValueLen == 0) {
        logNull(log, level, prefix, name, attribute.type);
    } else {
        log->Write(level, "%s%s (0x%lx) = hodnota skryta (attr.ulValueLen=%lu)", prefix, name, attribute.type,
                   attribute.ulValueLen);
    }
}

bool readUlong(const CK_ATTRIBUTE& attribute, CK_ULONG* number) {
    if (attribute.pValue == nullptr || attribute.ulValueLen < sizeof(CK_ULONG)) return false;
    std::memcpy(number, attribute.pValue, sizeof(CK_ULONG));
    return true;
}

void logAttribute(const CK_ATTRIBUTE& attribute, const char* prefix, int level, bool secretValue) {
    Core::Log* log = GetPkcs11Log();
    if (!log->IsEnabled(level)) return;
    if (prefix == nullptr) prefix = "";
    const char* name = AttributeTypeName(attribute.type);
    const CK_ATTRIBUTE_TYPE type = attribute.type;

    PrintKind kind = printKind(type);
    if (secretValue && type == CKA_VALUE) kind = PrintKind::Secret;

    switch (kind) {
        case PrintKind::Bool: {
            if (attribute.pValue == nullptr || attribute.ulValueLen < 1) {
                logNull(log, level, prefix, name, type);
                break;
            }
            bool on = *static_cast<const unsigned char*>(attribute.pValue) == 1;
            log->Write(level, "%s%s (0x%lx) = %s (0x%x)", prefix, name, type, on ? "true" : "false", on ? 1 : 0);
            break;
        }
        case PrintKind::Number: {
            CK_ULONG number;
            if (!readUlong(attribute, &number)) {
                logNull(log, level, prefix, name, type);
                break;
            }
            log->Write(level, "%s%s (0x%lx) = %lu (0x%lx)", prefix, name, type, number, number);
            break;
        }
        case PrintKind::NamedValue: {
            CK_ULONG number;
            if (!readUlong(attribute, &number)) {
                logNull(log, level, prefix, name, type);
                break;
            }
            log->Write(level, "%s%s (0x%lx) = %s (0x%lx)", prefix, name, type, valueName(type, number), number);
            break;
        }
        case PrintKind::Date: {
            if (attribute.pValue == nullptr || attribute.ulValueLen < sizeof(CK_DATE)) {
                logNull(log, level, prefix, name, type);
                break;
            }
            CK_DATE date;
            std::memcpy(&date, attribute.pValue, sizeof(date));
            char text[11];
            std::memcpy(text, date.day, 2);
            text[2] = '.';
            std::memcpy(text + 3, date.month, 2);
            text[5] = '.';
            std::memcpy(text + 6, date.year, 4);
            text[10] = '\0';
            log->Write(level, "%s%s (0x%lx) = %s (0x%x)", prefix, name, type, text, 0);
            break;
        }
        case PrintKind::Bytes:
            logBytes(log, level, prefix, name, attribute);
            break;
        case PrintKind::Secret:
            logSecret(log, level, prefix, name, attribute);
            break;
        case PrintKind::Other:
            log->Debug("Pkcs11Template::LogAttribute(): hodnotu nasledujiciho atributu vypisuji jako pole bajtu");
            logBytes(log, level, prefix, name, attribute);
            break;
    }
}

// CKA_VALUE of a private or secret key is key material.
bool templateHoldsKeyMaterial(const CK_ATTRIBUTE* pTemplate, CK_ULONG count) {
    for (CK_ULONG i = 0; i < count; ++i) {
        if (pTemplate[i].type != CKA_CLASS) continue;
        CK_ULONG objectClass;
        if (readUlong(pTemplate[i], &objectClass) &&
            (objectClass == CKO_PRIVATE_KEY || objectClass == CKO_SECRET_KEY))
            return true;
    }
    return false;
}

}  // namespace

const char* AttributeTypeName(CK_ATTRIBUTE_TYPE type) {
    switch (type) {
#define VC_ATTR_NAME(name) \
    case name:             \
        return #name;
        VC_ATTR_NAME(CKA_CLASS)
        VC_ATTR_NAME(CKA_TOKEN)
        VC_ATTR_NAME(CKA_PRIVATE)
        VC_ATTR_NAME(CKA_LABEL)
        VC_ATTR_NAME(CKA_APPLICATION)
        VC_ATTR_NAME(CKA_VALUE)
        VC_ATTR_NAME(CKA_OBJECT_ID)
        VC_ATTR_NAME(CKA_CERTIFICATE_TYPE)
        VC_ATTR_NAME(CKA_ISSUER)
        VC_ATTR_NAME(CKA_SERIAL_NUMBER)
        VC_ATTR_NAME(CKA_AC_ISSUER)
        VC_ATTR_NAME(CKA_OWNER)
        VC_ATTR_NAME(CKA_ATTR_TYPES)
        VC_ATTR_NAME(CKA_TRUSTED)
        VC_ATTR_NAME(CKA_CERTIFICATE_CATEGORY)
        VC_ATTR_NAME(CKA_JAVA_MIDP_SECURITY_DOMAIN)
        VC_ATTR_NAME(CKA_URL)
        VC_ATTR_NAME(CKA_HASH_OF_SUBJECT_PUBLIC_KEY)
        VC_ATTR_NAME(CKA_HASH_OF_ISSUER_PUBLIC_KEY)
        VC_ATTR_NAME(CKA_CHECK_VALUE)
        VC_ATTR_NAME(CKA_KEY_TYPE)
        VC_ATTR_NAME(CKA_SUBJECT)
        VC_ATTR_NAME(CKA_ID)
        VC_ATTR_NAME(CKA_SENSITIVE)
        VC_ATTR_NAME(CKA_ENCRYPT)
        VC_ATTR_NAME(CKA_DECRYPT)
        VC_ATTR_NAME(CKA_WRAP)
        VC_ATTR_NAME(CKA_UNWRAP)
        VC_ATTR_NAME(CKA_SIGN)
        VC_ATTR_NAME(CKA_SIGN_RECOVER)
        VC_ATTR_NAME(CKA_VERIFY)
        VC_ATTR_NAME(CKA_VERIFY_RECOVER)
        VC_ATTR_NAME(CKA_DERIVE)
        VC_ATTR_NAME(CKA_START_DATE)
        VC_ATTR_NAME(CKA_END_DATE)
        VC_ATTR_NAME(CKA_MODULUS)
        VC_ATTR_NAME(CKA_MODULUS_BITS)
        VC_ATTR_NAME(CKA_PUBLIC_EXPONENT)
        VC_ATTR_NAME(CKA_PRIVATE_EXPONENT)
        VC_ATTR_NAME(CKA_PRIME_1)
        VC_ATTR_NAME(CKA_PRIME_2)
        VC_ATTR_NAME(CKA_EXPONENT_1)
        VC_ATTR_NAME(CKA_EXPONENT_2)
        VC_ATTR_NAME(CKA_COEFFICIENT)
        VC_ATTR_NAME(CKA_PRIME)
        VC_ATTR_NAME(CKA_EXTRACTABLE)
        VC_ATTR_NAME(CKA_LOCAL)
        VC_ATTR_NAME(CKA_NEVER_EXTRACTABLE)
        VC_ATTR_NAME(CKA_ALWAYS_SENSITIVE)
        VC_ATTR_NAME(CKA_KEY_GEN_MECHANISM)
        VC_ATTR_NAME(CKA_MODIFIABLE)
        VC_ATTR_NAME(CKA_ALWAYS_AUTHENTICATE)
        VC_ATTR_NAME(CKA_WRAP_WITH_TRUSTED)
        VC_ATTR_NAME(CKA_HW_FEATURE_TYPE)
        VC_ATTR_NAME(CKA_RESET_ON_INIT)
        VC_ATTR_NAME(CKA_HAS_RESET)
        VC_ATTR_NAME(CKA_PIXEL_X)
        VC_ATTR_NAME(CKA_PIXEL_Y)
        VC_ATTR_NAME(CKA_RESOLUTION)
        VC_ATTR_NAME(CKA_CHAR_ROWS)
        VC_ATTR_NAME(CKA_CHAR_COLUMNS)
        VC_ATTR_NAME(CKA_COLOR)
        VC_ATTR_NAME(CKA_BITS_PER_PIXEL)
        VC_ATTR_NAME(CKA_CHAR_SETS)
        VC_ATTR_NAME(CKA_ENCODING_METHODS)
        VC_ATTR_NAME(CKA_MIME_TYPES)
        VC_ATTR_NAME(CKA_WRAP_TEMPLATE)
        VC_ATTR_NAME(CKA_UNWRAP_TEMPLATE)
        VC_ATTR_NAME(CKA_ALLOWED_MECHANISMS)
        VC_ATTR_NAME(CKA_TWINS)
        VC_ATTR_NAME(CKA_VELLUMCREST_PROOF)
        VC_ATTR_NAME(CKA_ESIGN)
        VC_ATTR_NAME(CKA_ORVOAPP)
#undef VC_ATTR_NAME
        default:
            return "UNKNOWN!";
    }
}

void Pkcs11Template::LogAttribute(CK_ATTRIBUTE attribute, const char* prefix, int level) {
    logAttribute(attribute, prefix, level, false);
}

void Pkcs11Template::LogTemplate(const CK_ATTRIBUTE* pTemplate, CK_ULONG count, const char* title, int level) {
    Core::Log* log = GetPkcs11Log();
    if (!log->IsEnabled(level)) return;
    log->Write(level, "%s: %lu atributu%s", title != nullptr ? title : "", count, count != 0 ? ":" : "");
    if (pTemplate == nullptr) {
        log->Write(level, "  sablona je NULL_PTR");
        return;
    }
    bool secretValue = templateHoldsKeyMaterial(pTemplate, count);
    for (CK_ULONG i = 0; i < count; ++i) logAttribute(pTemplate[i], "    atribut sablony: ", level, secretValue);
}

}  // namespace Pkcs11
}  // namespace Vellumcrest
