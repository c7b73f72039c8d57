// Exported instantiations of the handle list for sibling components of the family.
// Every element is released by RemoveAndDestroyAll with delete, so that records whose
// members own memory (names, labels, identifiers) do not leak it.
//
// The instantiations are declared exported before any header derives a class from
// them; an attribute given after the class has been instantiated would be ignored.
#include "handles/List.h"
#include "vellumcrest/pkcs11.h"

namespace Vellumcrest {
namespace Core {
struct CardCertificateRecord;
struct CardContainerRecord;
struct CardFileStorageRecord;
struct CardPrivateKeyRecord;
struct CardPublicKeyRecord;
struct CardRootHashRecord;
class CoreObject;
class Hash;
class Key;
class ReaderCardPair;
}  // namespace Core
namespace Csp {
class Context;
}
namespace Pkcs11 {
class Session;
class SessionGroup;
}  // namespace Pkcs11

namespace Core {
extern template class VC_EXPORT List<CardCertificateRecord>;
extern template class VC_EXPORT List<CardContainerRecord>;
extern template class VC_EXPORT List<CardFileStorageRecord>;
extern template class VC_EXPORT List<CardPrivateKeyRecord>;
extern template class VC_EXPORT List<CardPublicKeyRecord>;
extern template class VC_EXPORT List<CardRootHashRecord>;
extern template class VC_EXPORT List<Csp::Context>;
extern template class VC_EXPORT List<CoreObject>;
extern template class VC_EXPORT List<Hash>;
extern template class VC_EXPORT List<Key>;
extern template class VC_EXPORT List<ReaderCardPair>;
extern template class VC_EXPORT List<Pkcs11::Session>;
extern template class VC_EXPORT List<Pkcs11::SessionGroup>;
}  // namespace Core
}  // namespace Vellumcrest

#include "core/CardRecords.h"
#include "core/CoreObjects.h"
#include "core/Csp.h"
#include "core/Hash.h"
#include "core/Reader.h"
#include "session/Session.h"

namespace Vellumcrest {
namespace Core {

template class List<CardCertificateRecord>;
template class List<CardContainerRecord>;
template class List<CardFileStorageRecord>;
template class List<CardPrivateKeyRecord>;
template class List<CardPublicKeyRecord>;
template class List<CardRootHashRecord>;
template class List<Csp::Context>;
template class List<CoreObject>;
template class List<Hash>;
template class List<Key>;
template class List<ReaderCardPair>;
template class List<Pkcs11::Session>;
template class List<Pkcs11::SessionGroup>;

}  // namespace Core
}  // namespace Vellumcrest
