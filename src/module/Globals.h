// The objects that exist once per loaded library, and the call-log helpers every
// provider method uses.
#pragma once

#include "core/Log.h"
#include "vellumcrest/pkcs11.h"

namespace Vellumcrest {
namespace Pkcs11 {

class Pkcs11Provider;

// The one provider.
Pkcs11Provider* GetProvider();
// The module's own log ("Pkcs11"), distinct from the card core's log.
Core::Log* GetPkcs11Log();

// Writes the process, version and product lines shared by C_Initialize and C_OpenSession
// ("Process: %s", "Version: %li.%li (%s %s, %s)", "Vellumcrest: %s (%li)").
void LogProcessAndVersion();

// Exit line of a provider method: "Pkcs11Provider::<method>() => <CKR name>", at level 1
// when rv is not CKR_OK and at level 3 when it is. Returns rv.
CK_RV LogResult(const char* method, CK_RV rv);

}  // namespace Pkcs11
}  // namespace Vellumcrest
