// The SO PIN of a slot's SO login, kept beside the PIN cache for C_InitPIN: the cache
// then holds the user PIN that C_InitPIN set, while the SO stays logged in and may set
// the user PIN again. Forgotten at logout and when the group goes away; wiped on release.
#pragma once

namespace Vellumcrest {
namespace Pkcs11 {

class SessionGroup;

namespace SoPinStore {

void Remember(const SessionGroup* group, const unsigned char* pin, unsigned long length);
// False when nothing is kept or it does not fit; *length: room on entry, length on exit.
bool Recall(const SessionGroup* group, unsigned char* buffer, unsigned long* length);
void Forget(const SessionGroup* group);

}  // namespace SoPinStore
}  // namespace Pkcs11
}  // namespace Vellumcrest
