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

// The translations that every PIN-related card call shares (0, 115, 122, 123, 124); true
// when the code is one of them, with *rv set. Callers add the codes they treat otherwise.
bool PinResultToCkRv(int coreCode, CK_RV* rv);

}  // namespace Pkcs11
}  // namespace Vellumcrest
