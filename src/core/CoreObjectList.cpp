// The object list of a card: handles, locked walks and the loading of the card's records.
#include <memory>
#include <new>
#include <unordered_set>

#include "core/CoreObjects.h"
#include "core/Log.h"
#include "core/ObjectFlags.h"
#include "core/Reader.h"

namespace Vellumcrest {
namespace Core {

using ObjectFlags::privateKeyFlags;
using ObjectFlags::publicKeyFlags;
using ObjectFlags::tokenFlags;


CoreObjectList::CoreObjectList() = default;

CoreObjectList::~CoreObjectList() { List<CoreObject>::RemoveAndDestroyAll(); }

namespace {
// Looks an object up under the list lock. With lock, the object's lock is only tried: when
// another thread holds the object, the list lock is released before the next attempt, so
// that a thread holding an object can still use the list.
template <typename Find>
CoreObject* lookUp(ExclusiveLock& listLock, bool lock, Find find) {
    for (unsigned attempt = 0;; ++attempt) {
        {
            LockGuard<ExclusiveLock> guard(listLock);
            CoreObject* object = find();
            if (object == nullptr || !lock || object->TryLock()) return object;
        }
        Backoff(attempt);
    }
}
}  // namespace

CoreObject* CoreObjectList::GetFirst(unsigned long& handle, bool lock) {
    return lookUp(lock_, lock, [&] { return List<CoreObject>::GetFirst(handle); });
}

CoreObject* CoreObjectList::GetLast(unsigned long& handle, bool lock) {
    return lookUp(lock_, lock, [&] { return List<CoreObject>::GetLast(handle); });
}

CoreObject* CoreObjectList::GetNext(unsigned long& handle, bool lock) {
    const unsigned long from = handle;
    return lookUp(lock_, lock, [&] {
        handle = from;
        return List<CoreObject>::GetNext(handle);
    });
}

CoreObject* CoreObjectList::GetPrev(unsigned long& handle, bool lock) {
    const unsigned long from = handle;
    return lookUp(lock_, lock, [&] {
        handle = from;
        return List<CoreObject>::GetPrev(handle);
    });
}

CoreObject* CoreObjectList::FindObject(int index, bool lock) {
    return lookUp(lock_, lock, [&] { return List<CoreObject>::FindObject(index); });
}

CoreObject* CoreObjectList::FindObject(unsigned long handle, bool lock) {
    return lookUp(lock_, lock, [&] { return List<CoreObject>::FindObject(handle); });
}

// Record identifiers of the objects of one kind that the list holds: one walk, so that
// loading stays linear in the number of records.
std::unordered_set<uint32_t> CoreObjectList::heldRecords(CoreObjectType type, int keyType) {
    std::unordered_set<uint32_t> held;
    unsigned long handle = 0;
    for (CoreObject* object = List<CoreObject>::GetFirst(handle); object != nullptr;
         object = List<CoreObject>::GetNext(handle)) {
        if (object->GetCoreObjectType() != type) continue;
        if (type == CoreObjectTypeKey && static_cast<Key*>(object)->GetKeyType() != keyType) continue;
        held.insert(object->GetRecordId());
    }
    return held;
}

int CoreObjectList::AddAllObjectFromCard(ReaderCardPair* pair) {
    if (pair == nullptr) return CoreInvalidArgument;
    if (!pair->IsSupportedCardPresent()) return CoreCardNotPresent;
    int result = AddAllCertificateFromCard(pair);
    if (result == CoreOk) result = AddAllPublicKeyFromCard(pair);
    if (result == CoreOk) result = AddAllPrivateKeyFromCard(pair);
    if (result == CoreOk) result = AddAllFileStorageFromCard(pair);
    if (result == CoreOk) GetCoreLog()->Debug("CoreObjectList: %d object(s) in the list", GetCount());
    return result;
}

namespace {
// Adds an object made for a record, or destroys it when the list refuses it.
int addOwned(List<CoreObject>& list, std::unique_ptr<CoreObject> object) {
    if (list.Add(object.get()) == 0) return CoreOutOfMemory;
    object.release();
    return CoreOk;
}
}  // namespace

template <typename Records, typename Make>
int CoreObjectList::addFromCard(ReaderCardPair* pair, CoreObjectType type, int keyType, const char* what,
                                Records records, Make make) {
    if (pair == nullptr) return CoreInvalidArgument;
    if (!pair->IsSupportedCardPresent()) return CoreCardNotPresent;
    LockGuard<ExclusiveLock> guard(lock_);
    int result = CoreOk;
    try {
        std::unordered_set<uint32_t> held = heldRecords(type, keyType);
        for (auto* record : records()) {
            if (record == nullptr || !held.insert(record->recordId).second) continue;
            std::unique_ptr<CoreObject> object;
            int set = make(record, object);
            if (set == CoreOutOfMemory) {
                result = set;
                break;
            }
            if (set != CoreOk) {
                GetCoreLog()->Error("CoreObjectList: %s record %u skipped (unreadable, error %d)", what,
                                    record->recordId, set);
                continue;
            }
            result = addOwned(*this, std::move(object));
            if (result != CoreOk) break;
        }
    } catch (const std::bad_alloc&) {
        result = CoreOutOfMemory;
    }
    return result;
}

int CoreObjectList::AddAllCertificateFromCard(ReaderCardPair* pair) {
    return addFromCard(
        pair, CoreObjectTypeCertificate, -1, "certificate", [pair] { return pair->GetCertificateRecords(); },
        [pair](CardCertificateRecord* record, std::unique_ptr<CoreObject>& object) {
            std::unique_ptr<CardCertificate> payload(pair->GetCardCertificate(record));
            std::unique_ptr<Certificate> certificate(new Certificate());
            int set = payload ? certificate->SetCertificate(record, *payload) : CoreNotFound;
            if (set != CoreOk) return set;
            CoreObjectFlags flags = tokenFlags(&record->common);
            flags.extractable = 1;
            certificate->SetCoreObjectFlags(flags);
            object = std::move(certificate);
            return static_cast<int>(CoreOk);
        });
}

int CoreObjectList::AddAllPublicKeyFromCard(ReaderCardPair* pair) {
    return addFromCard(
        pair, CoreObjectTypeKey, KeyTypeRsaPublicKey, "public key", [pair] { return pair->GetPublicKeyRecords(); },
        [pair](CardPublicKeyRecord* record, std::unique_ptr<CoreObject>& object) {
            std::unique_ptr<CardPublicKey> payload(pair->GetCardPublicKey(record, false));
            std::unique_ptr<RsaPublicKey> key(new RsaPublicKey());
            int set = payload ? key->SetPublicKey(record, payload.get()) : CoreNotFound;
            if (set != CoreOk) return set;
            key->SetCoreObjectFlags(publicKeyFlags(record));
            object = std::move(key);
            return static_cast<int>(CoreOk);
        });
}

int CoreObjectList::AddAllPrivateKeyFromCard(ReaderCardPair* pair) {
    return addFromCard(
        pair, CoreObjectTypeKey, KeyTypeRsaPrivateKey, "private key", [pair] { return pair->GetPrivateKeyRecords(); },
        [pair](CardPrivateKeyRecord* record, std::unique_ptr<CoreObject>& object) {
            std::unique_ptr<RsaPrivateKey> key(new RsaPrivateKey());
            key->SetPrivateKey(record);
            key->cacheModulus(pair);
            key->SetCoreObjectFlags(privateKeyFlags(record));
            object = std::move(key);
            return static_cast<int>(CoreOk);
        });
}

int CoreObjectList::AddAllFileStorageFromCard(ReaderCardPair* pair) {
    return addFromCard(
        pair, CoreObjectTypeFileStorage, -1, "data file", [pair] { return pair->GetFileStorageRecords(); },
        [pair](CardFileStorageRecord* record, std::unique_ptr<CoreObject>& object) {
            std::unique_ptr<CardFileStorage> payload(pair->GetCardFileStorage(record));
            std::unique_ptr<FileStorage> file(new FileStorage());
            int set = payload ? file->SetFileStorage(record, *payload) : CoreNotFound;
            if (set != CoreOk) return set;
            CoreObjectFlags flags = tokenFlags(nullptr);
            flags.extractable = 1;
            file->SetCoreObjectFlags(flags);
            object = std::move(file);
            return static_cast<int>(CoreOk);
        });
}

}  // namespace Core
}  // namespace Vellumcrest
