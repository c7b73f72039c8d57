// CK_RV names for the log, and the translation of card-core results.
#pragma once

#include "vellumcrest/pkcs11.h"

namespace Vellumcrest {
namespace Core { class ReaderCardPair; }
namespace Pkcs11 {

// The CKR_ name of a result, or "UNKNOWN!".
const char* ReturnValueName(CK_RV rv);

// General translation of a card-core result code; 102 and unknown codes also write an
// error line to the module log.
CK_RV CoreErrorToCkRv(Core::ReaderCardPair* pair, int coreCode);

}  // namespace Pkcs11
}  // namespace Vellumcrest
