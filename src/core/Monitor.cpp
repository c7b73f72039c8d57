// Slot monitor: polls the readers directory and reports the first reader whose presence
// or card differs from the monitor's own view.
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>

#include "core/CardImage.h"
#include "core/CardReaders.h"
#include "core/CardPairState.h"
#include "core/Config.h"
#include "core/Log.h"
#include "core/Reader.h"

namespace Vellumcrest {
namespace Core {

namespace {

constexpr auto kPollInterval = std::chrono::milliseconds(100);

struct ReaderView {
    std::string identity;  // "" without a card
    CardFileStamp stamp;   // read cache
};

}  // namespace

struct ReaderCardPairMon::State {
    std::mutex mutex;
    std::condition_variable wake;
    unsigned long cancelGeneration = 0;
    bool initialised = false;
    std::map<std::string, ReaderView> snapshot;  // the monitor's view, by reader name
    std::map<std::string, ReaderView> cache;     // identities of the last scan

    std::map<std::string, ReaderView> scan() {
        std::map<std::string, ReaderView> now;
        for (const ReaderEntry& entry : ScanReaders(GetConfigGlobal()->GetReadersDir())) {
            ReaderView& view = cache[entry.name];
            ReadCardIdentity(entry.ImagePath(), &view.stamp, &view.identity);
            now[entry.name] = view;
        }
        for (auto it = cache.begin(); it != cache.end();)
            it = now.count(it->first) != 0 ? std::next(it) : cache.erase(it);
        return now;
    }

    // First reader (by name) that appeared, vanished or holds another card.
    bool firstChange(const std::map<std::string, ReaderView>& now, std::string* name) {
        auto a = snapshot.begin();
        auto b = now.begin();
        while (a != snapshot.end() || b != now.end()) {
            if (b == now.end() || (a != snapshot.end() && a->first < b->first)) {
                *name = a->first;
                return true;
            }
            if (a == snapshot.end() || b->first < a->first) {
                *name = b->first;
                return true;
            }
            if (a->second.identity != b->second.identity) {
                *name = a->first;
                return true;
            }
            ++a;
            ++b;
        }
        return false;
    }
};

ReaderCardPairMon::ReaderCardPairMon() : state_(new State()) {}

ReaderCardPairMon::~ReaderCardPairMon() = default;

namespace {

unsigned long slotOfReader(ReaderCardPairList* list, const std::string& name) {
    unsigned long handle = list->FindReaderHandle(name);
    if (handle == 0 && list->AddNewReaders() == CoreOk) handle = list->FindReaderHandle(name);
    return handle;
}

}  // namespace

int ReaderCardPairMon::Run(ReaderCardPairList* list, unsigned long* slot, bool wait) {
    if (list == nullptr || slot == nullptr) return -2;
    std::unique_lock<std::mutex> lock(state_->mutex);
    unsigned long generation = state_->cancelGeneration;
    if (!state_->initialised) {
        // The first view is what the module knows of the readers, so that a change made
        // before the first wait is not lost.
        lock.unlock();
        std::map<std::string, ReaderView> known;
        for (unsigned long handle : list->GetHandles()) {
            Held<ReaderCardPair> pair(list->GetReaderCardPair(handle, true));
            if (!pair) continue;
            if (pair->state_->readerValid) known[pair->GetReader()->GetReaderName()].identity = pair->state_->ackIdentity;
        }
        lock.lock();
        if (!state_->initialised) {
            state_->snapshot = known;
            state_->initialised = true;
        }
    }
    for (;;) {
        std::map<std::string, ReaderView> now = state_->scan();
        std::string name;
        if (state_->firstChange(now, &name)) {
            // Only the reported reader is taken into the view: a second change that
            // happened at the same time is reported by the next call.
            auto current = now.find(name);
            if (current != now.end()) state_->snapshot[name] = current->second;
            else state_->snapshot.erase(name);
            lock.unlock();
            unsigned long handle = slotOfReader(list, name);
            if (handle == 0) {
                lock.lock();
                continue;
            }
            *slot = handle;
            GetCoreLog()->Info("ReaderCardPairMon::Run(): udalost na ctecce %s (slot 0x%lX)", name.c_str(), handle);
            return 1;
        }
        if (!wait) return 0;
        state_->wake.wait_for(lock, kPollInterval,
                              [&] { return state_->cancelGeneration != generation; });
        if (state_->cancelGeneration != generation) return -1;
    }
}

void ReaderCardPairMon::Cancel() {
    {
        std::lock_guard<std::mutex> guard(state_->mutex);
        ++state_->cancelGeneration;
    }
    state_->wake.notify_all();
}

}  // namespace Core
}  // namespace Vellumcrest
