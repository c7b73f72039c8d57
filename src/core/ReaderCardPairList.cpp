#include <new>

#include "core/CardPairState.h"
#include "core/Config.h"
#include "core/Log.h"

namespace Vellumcrest {
namespace Core {

namespace {

ReaderCardPair* findByName(List<ReaderCardPair>& list, const std::string& name) {
    unsigned long handle = 0;
    for (ReaderCardPair* pair = list.GetFirst(handle); pair != nullptr; pair = list.GetNext(handle))
        if (name == pair->GetReader()->GetReaderName()) return pair;
    return nullptr;
}

}  // namespace

ReaderCardPairList::ReaderCardPairList() = default;

ReaderCardPairList::~ReaderCardPairList() {
    listLock_.Lock();
    RemoveAndDestroyAll();
    listLock_.Unlock();
}

int ReaderCardPairList::AddNewReaders() {
    try {
        std::vector<ReaderEntry> entries = ScanReaders(GetConfigGlobal()->GetReadersDir());
        std::vector<ReaderCardPair*> added;
        listLock_.Lock();
        int rc = CoreOk;
        for (const ReaderEntry& entry : entries) {
            if (findByName(*this, entry.name) != nullptr) continue;
            auto pair = std::make_unique<ReaderCardPair>();
            pair->reader_.name_ = entry.name;
            if (Add(pair.get()) == 0) {
                rc = CoreOutOfMemory;
                break;
            }
            added.push_back(pair.release());
        }
        listLock_.Unlock();
        // A new pair starts with the card it finds as its acknowledged one.
        for (ReaderCardPair* pair : added) {
            pair->Lock();
            for (const ReaderEntry& entry : entries) {
                if (entry.name != pair->reader_.name_) continue;
                pair->state_->applyReader(&entry);
                pair->state_->ensureFresh(true);
                pair->state_->ackIdentity = pair->state_->currentIdentity();
            }
            pair->Unlock();
        }
        return rc;
    } catch (const std::bad_alloc&) {
        return CoreOutOfMemory;
    }
}

int ReaderCardPairList::Update(bool invalidate) {
    int rc = AddNewReaders();
    if (rc != CoreOk) return rc;
    try {
        std::vector<ReaderEntry> entries = ScanReaders(GetConfigGlobal()->GetReadersDir());
        std::vector<ReaderCardPair*> pairs;
        listLock_.Lock();
        unsigned long handle = 0;
        for (ReaderCardPair* pair = GetFirst(handle); pair != nullptr; pair = GetNext(handle)) pairs.push_back(pair);
        listLock_.Unlock();
        // Pairs are never removed while the process runs, so they may be used unlisted.
        for (ReaderCardPair* pair : pairs) {
            pair->Lock();
            const ReaderEntry* found = nullptr;
            for (const ReaderEntry& entry : entries)
                if (entry.name == pair->reader_.name_) found = &entry;
            ReaderCardPair::State* state = pair->state_.get();
            state->applyReader(found);
            state->ensureFresh(invalidate);
            std::string identity = state->currentIdentity();
            pair->reader_.cardChanged_ = identity != state->ackIdentity;
            state->ackIdentity = identity;
            pair->Unlock();
        }
        return CoreOk;
    } catch (const std::bad_alloc&) {
        return CoreOutOfMemory;
    }
}

unsigned long ReaderCardPairList::GetFirstHandle() {
    listLock_.Lock();
    unsigned long handle = 0;
    GetFirst(handle);
    listLock_.Unlock();
    return handle;
}

unsigned long ReaderCardPairList::GetNextHandle(unsigned long handle) {
    listLock_.Lock();
    unsigned long next = handle;
    if (next == 0 || GetNext(next) == nullptr) next = 0;
    listLock_.Unlock();
    return next;
}

ReaderCardPair* ReaderCardPairList::GetReaderCardPair(unsigned long handle, bool lock) {
    if (handle == 0) return nullptr;
    listLock_.Lock();
    ReaderCardPair* pair = FindObject(handle);
    if (pair != nullptr && lock) pair->Lock();
    listLock_.Unlock();
    return pair;
}

}  // namespace Core
}  // namespace Vellumcrest
