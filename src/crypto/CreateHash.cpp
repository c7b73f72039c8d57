// Factory of the card core's hash objects by hash type.
#include <new>

#include "core/Hash.h"
#include "module/Pkcs11Provider.h"

namespace Vellumcrest {
namespace Pkcs11 {

Core::Hash* CreateHash(Core::HashType type) {
    try {
        switch (type) {
        case Core::HashTypeMd4: return new Core::HashMd4();
        case Core::HashTypeMd5: return new Core::HashMd5();
        case Core::HashTypeSha1: return new Core::HashSha1();
        case Core::HashTypeSha224: return new Core::HashSha224();
        case Core::HashTypeSha256: return new Core::HashSha256();
        case Core::HashTypeSha384: return new Core::HashSha384();
        case Core::HashTypeSha512: return new Core::HashSha512();
        case Core::HashTypeSsl3: return new Core::HashSsl3();
        }
    } catch (...) {
        // Allocation failure (or a failing constructor): no object.
    }
    return nullptr;
}

}  // namespace Pkcs11
}  // namespace Vellumcrest
