// Names of attribute types and values, and template logging.
#pragma once

#include "vellumcrest/pkcs11.h"

namespace Vellumcrest {
namespace Pkcs11 {

// The CKA_ name of a type, or "UNKNOWN!".
const char* AttributeTypeName(CK_ATTRIBUTE_TYPE type);

class Pkcs11Template {
public:
    static void LogAttribute(CK_ATTRIBUTE attribute, const char* prefix, int level);
    static void LogTemplate(const CK_ATTRIBUTE* pTemplate, CK_ULONG count, const char* title, int level);
};

}  // namespace Pkcs11
}  // namespace Vellumcrest
