// Included first by the session, slot and login sources: the handle lists of sessions and
// groups are instantiated and exported by the library once, so the copies the compiler
// makes here must not be hidden (a hidden copy would hide the exported one at link time).
#pragma once

#include "handles/List.h"
#include "vellumcrest/pkcs11.h"

namespace Vellumcrest {
namespace Pkcs11 {
class Session;
class SessionGroup;
}  // namespace Pkcs11
namespace Core {
extern template class VC_EXPORT List<Pkcs11::Session>;
extern template class VC_EXPORT List<Pkcs11::SessionGroup>;
}  // namespace Core
}  // namespace Vellumcrest
