// Exported instantiations of the handle list for sibling components of the family.
// Every element is released by RemoveAndDestroyAll with delete, so that records whose
// members own memory (names, labels, identifiers) do not leak it.
#include "handles/List.h"

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
