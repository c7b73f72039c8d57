// The list of reader/card pairs. Its lock is never held while waiting for a pair: a thread
// that holds a pair may therefore use the list (look-ups, walks, updates) without risking a
// deadlock with a thread that looks the same pair up.
#include <algorithm>
#include <mutex>
#include <new>
#include <unordered_map>
#include <unordered_set>

#include "core/CardPairState.h"
#include "core/Config.h"
#include "core/Log.h"
#include "core/PcscChannel.h"

namespace Vellumcrest {
namespace Core {

namespace {

bool pcscBackend() {
    static const bool pcsc = [] {
        const ConfigGlobal* config = GetConfigGlobal();
        if (!config->GetUnknownReaderBackend().empty())
            GetCoreLog()->Warning("ReaderCardPairList: neznamy ReaderBackend \"%s\", pouzity ctecky z adresare",
                                  config->GetUnknownReaderBackend().c_str());
        return config->GetReaderBackend() == ReaderBackend::Pcsc;
    }();
    return pcsc;
}

// The readers of the configured backend, sorted by name.
std::vector<ReaderEntry> scanReaders() {
    if (!pcscBackend()) return ScanReaders(GetConfigGlobal()->GetReadersDir());
    static PcscContext context;
    static std::mutex mutex;
    static LONG lastFailure = SCARD_S_SUCCESS;
    std::vector<std::string> names;
    std::lock_guard<std::mutex> guard(mutex);
    LONG rc = PcscListReaders(&context, &names);
    // Said once per kind of failure, not at every listing.
    if (rc != lastFailure && rc != SCARD_S_SUCCESS)
        GetCoreLog()->Warning("ReaderCardPairList: ctecky PC/SC nelze zjistit (WSC ERROR: 0x%lX)",
                              static_cast<unsigned long>(static_cast<uint32_t>(rc)));
    lastFailure = rc;
    std::vector<ReaderEntry> entries;
    for (const std::string& name : names) {
        ReaderEntry entry;
        entry.name = name;
        entries.push_back(entry);
    }
    std::sort(entries.begin(), entries.end(),
              [](const ReaderEntry& a, const ReaderEntry& b) { return a.name < b.name; });
    return entries;
}

}  // namespace

ReaderCardPairList::ReaderCardPairList() = default;

ReaderCardPairList::~ReaderCardPairList() {
    LockGuard<ExclusiveLock> guard(listLock_);
    RemoveAndDestroyAll();
}

// Pairs for the readers that the list does not know yet. A new pair is made ready (its card
// read and acknowledged) before it is listed, so that no thread sees it half made, and
// without the list's lock, which file reads would hold up.
int ReaderCardPairList::addReaders(const std::vector<ReaderEntry>& entries) {
    std::unordered_set<std::string> known;
    {
        LockGuard<ExclusiveLock> guard(listLock_);
        unsigned long handle = 0;
        for (ReaderCardPair* pair = GetFirst(handle); pair != nullptr; pair = GetNext(handle))
            known.insert(pair->reader_.name_);
    }
    std::vector<std::unique_ptr<ReaderCardPair>> fresh;
    for (const ReaderEntry& entry : entries) {
        if (known.count(entry.name) != 0) continue;
        auto pair = std::make_unique<ReaderCardPair>();
        pair->reader_.name_ = entry.name;
        if (pcscBackend()) {
            auto channel = std::make_unique<PcscChannel>(entry.name);
            PcscChannel* pcsc = channel.get();
            pair->state_->attachChannel(std::move(channel), pcsc);
        }
        pair->state_->applyReader(&entry);
        pair->state_->ensureFresh(true);
        pair->state_->acknowledge();
        fresh.push_back(std::move(pair));
    }
    if (fresh.empty()) return CoreOk;

    LockGuard<ExclusiveLock> guard(listLock_);
    known.clear();
    unsigned long handle = 0;
    for (ReaderCardPair* pair = GetFirst(handle); pair != nullptr; pair = GetNext(handle))
        known.insert(pair->reader_.name_);
    for (std::unique_ptr<ReaderCardPair>& pair : fresh) {
        if (known.count(pair->reader_.name_) != 0) continue;  // added by another thread meanwhile
        if (Add(pair.get()) == 0) return CoreOutOfMemory;
        pair.release();
    }
    return CoreOk;
}

int ReaderCardPairList::AddNewReaders() {
    try {
        return addReaders(scanReaders());
    } catch (const std::bad_alloc&) {
        return CoreOutOfMemory;
    }
}

int ReaderCardPairList::Update(bool invalidate) {
    try {
        std::vector<ReaderEntry> entries = scanReaders();
        int rc = addReaders(entries);
        if (rc != CoreOk) return rc;
        std::unordered_map<std::string, const ReaderEntry*> byName;
        for (const ReaderEntry& entry : entries) byName.emplace(entry.name, &entry);
        for (unsigned long handle : GetHandles()) {
            Held<ReaderCardPair> held(GetReaderCardPair(handle, true));
            ReaderCardPair* pair = held.get();
            if (pair == nullptr) continue;  // taken out meanwhile
            auto found = byName.find(pair->reader_.name_);
            ReaderCardPair::State* state = pair->state_.get();
            state->applyReader(found != byName.end() ? found->second : nullptr);
            state->ensureFresh(invalidate);
            pair->reader_.cardChanged_ = state->acknowledge();
        }
        return CoreOk;
    } catch (const std::bad_alloc&) {
        return CoreOutOfMemory;
    }
}

unsigned long ReaderCardPairList::GetFirstHandle() {
    LockGuard<ExclusiveLock> guard(listLock_);
    unsigned long handle = 0;
    GetFirst(handle);
    return handle;
}

unsigned long ReaderCardPairList::GetNextHandle(unsigned long handle) {
    LockGuard<ExclusiveLock> guard(listLock_);
    unsigned long next = handle;
    if (next == 0 || GetNext(next) == nullptr) next = 0;
    return next;
}

std::vector<unsigned long> ReaderCardPairList::GetHandles() {
    std::vector<unsigned long> handles;
    LockGuard<ExclusiveLock> guard(listLock_);
    handles.reserve(static_cast<size_t>(GetCount()));
    unsigned long handle = 0;
    for (ReaderCardPair* pair = GetFirst(handle); pair != nullptr; pair = GetNext(handle)) handles.push_back(handle);
    return handles;
}

ReaderCardPair* ReaderCardPairList::GetReaderCardPair(unsigned long handle, bool lock) {
    if (handle == 0) return nullptr;
    ReaderCardPair* pair;
    {
        LockGuard<ExclusiveLock> guard(listLock_);
        pair = FindObject(handle);
        if (pair == nullptr || !lock || pair->TryLock()) return pair;
        // Held elsewhere: wait without the list's lock. The waiter count keeps the pair in
        // the list (and alive) meanwhile.
        ++pair->state_->waiters;
    }
    pair->Lock();
    --pair->state_->waiters;
    return pair;
}

unsigned long ReaderCardPairList::FindReaderHandle(const std::string& name) {
    LockGuard<ExclusiveLock> guard(listLock_);
    unsigned long handle = 0;
    for (ReaderCardPair* pair = GetFirst(handle); pair != nullptr; pair = GetNext(handle))
        if (name == pair->reader_.name_) return handle;
    return 0;
}

bool ReaderCardPairList::RemoveVanishedReader(unsigned long handle) {
    ReaderCardPair* pair;
    {
        LockGuard<ExclusiveLock> guard(listLock_);
        pair = FindObject(handle);
        if (pair == nullptr || !pair->TryLock()) return false;
        const ReaderCardPair::State& state = *pair->state_;
        // Only this call holds it (not also a caller further up this thread's stack) and
        // nobody waits for it: once out of the list, no thread can reach it any more.
        bool removable = !state.readerValid && state.holdDepth == 1 && state.waiters == 0;
        if (removable) Remove(handle);
        pair->Unlock();
        if (!removable) return false;
    }
    GetCoreLog()->Info("ReaderCardPairList: ctecka %s odebrana ze seznamu (slot 0x%lX)", pair->GetReader()->GetReaderName(),
                       handle);
    delete pair;
    return true;
}

}  // namespace Core
}  // namespace Vellumcrest
