// The objects that exist once per loaded library.
#pragma once

#include "core/Log.h"

namespace Vellumcrest {
namespace Pkcs11 {

class Pkcs11Provider;

// The one provider.
Pkcs11Provider* GetProvider();
// The module's own log ("Pkcs11"), distinct from the card core's log.
Core::Log* GetPkcs11Log();

// Writes the process, version and product lines shared by C_Initialize and C_OpenSession.
void LogProcessAndVersion();

}  // namespace Pkcs11
}  // namespace Vellumcrest
