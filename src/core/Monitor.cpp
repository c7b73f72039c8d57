// Slot monitor: reports the first reader whose presence or card differs from the monitor's
// own view. Directory readers are polled; PC/SC readers are waited for in
// SCardGetStatusChange, together with pcsc-lite's pseudo reader for added and removed readers.
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
#include <set>

#include "core/CardImage.h"
#include "core/CardReaders.h"
#include "core/CardPairState.h"
#include "core/Config.h"
#include "core/Log.h"
#include "core/PcscLibrary.h"
#include "core/Reader.h"

namespace Vellumcrest {
namespace Core {

namespace {

constexpr auto kPollInterval = std::chrono::milliseconds(100);
// Longest single wait in pcsc-lite: a cancellation that comes just before the wait begins
// (SCardCancel finds nothing to end) still ends it this soon.
constexpr DWORD kPcscWaitMs = 1000;
// Retry interval while the PC/SC service is not running.
constexpr auto kPcscRetryInterval = std::chrono::milliseconds(500);

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
    std::set<PcscContext*> waiting;              // contexts of the PC/SC waits in progress

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

    // Only the reported reader is taken into the view: a second change that happened at
    // the same time is reported by the next call.
    void takeIntoView(const std::map<std::string, ReaderView>& now, const std::string& name) {
        auto current = now.find(name);
        if (current != now.end()) snapshot[name] = current->second;
        else snapshot.erase(name);
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

unsigned long ReaderCardPairMon::CancelCount() {
    std::lock_guard<std::mutex> guard(state_->mutex);
    return state_->cancelGeneration;
}

int ReaderCardPairMon::Run(ReaderCardPairList* list, unsigned long* slot, bool wait) {
    return Run(list, slot, wait, CancelCount());
}

int ReaderCardPairMon::Run(ReaderCardPairList* list, unsigned long* slot, bool wait, unsigned long since) {
    if (list == nullptr || slot == nullptr) return -2;
    std::unique_lock<std::mutex> lock(state_->mutex);
    unsigned long generation = since;
    if (state_->cancelGeneration != generation) return -1;
    bool pcsc = GetConfigGlobal()->GetReaderBackend() == ReaderBackend::Pcsc;
    if (!state_->initialised) {
        // The first view is what the module knows of the readers, so that a change made
        // before the first wait is not lost.
        lock.unlock();
        std::map<std::string, ReaderView> known;
        for (unsigned long handle : list->GetHandles()) {
            Held<ReaderCardPair> pair(list->GetReaderCardPair(handle, true));
            if (!pair) continue;
            const ReaderCardPair::State& pairState = *pair->state_;
            if (!pairState.readerValid) continue;
            known[pair->GetReader()->GetReaderName()].identity =
                pcsc ? pcscView(pairState.cardSeen, pairState.eventCount) : pairState.ackIdentity;
        }
        lock.lock();
        if (!state_->initialised) {
            state_->snapshot = known;
            state_->initialised = true;
        }
    }
    if (pcsc) {
        lock.unlock();
        return runPcsc(list, slot, wait, generation);
    }
    for (;;) {
        std::map<std::string, ReaderView> now = state_->scan();
        std::string name;
        if (state_->firstChange(now, &name)) {
            state_->takeIntoView(now, name);
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
        for (PcscContext* context : state_->waiting) context->Cancel();
    }
    state_->wake.notify_all();
}

// The monitor's view of a PC/SC reader: its card by insertion, "" without one.
std::string ReaderCardPairMon::pcscView(bool present, unsigned eventCount) {
    return present ? "card " + std::to_string(eventCount) : std::string();
}

int ReaderCardPairMon::runPcsc(ReaderCardPairList* list, unsigned long* slot, bool wait, unsigned long generation) {
    const PcscApi* api = GetPcscApi();
    // A context of this wait's own: a blocked wait holds its context up (see PcscContext).
    PcscContext context;
    {
        std::lock_guard<std::mutex> guard(state_->mutex);
        if (state_->cancelGeneration != generation) return -1;
        state_->waiting.insert(&context);
    }
    struct Unregister {
        State* state;
        PcscContext* context;
        ~Unregister() {
            std::lock_guard<std::mutex> guard(state->mutex);
            state->waiting.erase(context);
        }
    } unregister{state_.get(), &context};

    for (;;) {
        std::vector<std::string> names;
        LONG rc = api != nullptr ? PcscListReaders(&context, &names) : SCARD_E_NO_SERVICE;
        SCARDCONTEXT handle = 0;
        if (rc == SCARD_S_SUCCESS) rc = context.Get(&handle);
        std::vector<SCARD_READERSTATE> states;
        if (rc == SCARD_S_SUCCESS) {
            states.resize(names.size() + 1);
            std::memset(states.data(), 0, states.size() * sizeof(SCARD_READERSTATE));
            for (size_t i = 0; i < names.size(); ++i) states[i].szReader = names[i].c_str();
            states.back().szReader = kPcscPnpReader;
            for (SCARD_READERSTATE& state : states) state.dwCurrentState = SCARD_STATE_UNAWARE;
            rc = api->GetStatusChange(handle, 0, states.data(), static_cast<DWORD>(states.size()));
            context.Check(rc);
            if (rc == SCARD_E_TIMEOUT) rc = SCARD_S_SUCCESS;
        }
        std::map<std::string, ReaderView> now;
        for (size_t i = 0; rc == SCARD_S_SUCCESS && i < names.size(); ++i) {
            DWORD event = states[i].dwEventState;
            if (event & (SCARD_STATE_UNKNOWN | SCARD_STATE_IGNORE)) continue;
            now[names[i]].identity = pcscView((event & SCARD_STATE_PRESENT) != 0, (event >> 16) & 0xFFFF);
        }

        std::unique_lock<std::mutex> lock(state_->mutex);
        if (state_->cancelGeneration != generation) return -1;
        std::string name;
        // Without the service no reader is there: every reader known so far vanished.
        if (state_->firstChange(now, &name)) {
            state_->takeIntoView(now, name);
            lock.unlock();
            unsigned long handle = slotOfReader(list, name);
            if (handle == 0) continue;
            *slot = handle;
            GetCoreLog()->Info("ReaderCardPairMon::Run(): udalost na ctecce %s (slot 0x%lX)", name.c_str(), handle);
            return 1;
        }
        if (!wait) return 0;
        if (rc != SCARD_S_SUCCESS) {
            // No service (or it failed): look again in a while, unless cancelled meanwhile.
            state_->wake.wait_for(lock, kPcscRetryInterval, [&] { return state_->cancelGeneration != generation; });
            if (state_->cancelGeneration != generation) return -1;
            continue;
        }
        lock.unlock();
        for (SCARD_READERSTATE& state : states) state.dwCurrentState = state.dwEventState & ~SCARD_STATE_CHANGED;
        rc = api->GetStatusChange(handle, kPcscWaitMs, states.data(), static_cast<DWORD>(states.size()));
        context.Check(rc);
        {
            std::lock_guard<std::mutex> guard(state_->mutex);
            if (state_->cancelGeneration != generation) return -1;
        }
        if (rc != SCARD_S_SUCCESS && rc != SCARD_E_TIMEOUT && rc != SCARD_E_CANCELLED) {
            std::unique_lock<std::mutex> relock(state_->mutex);
            state_->wake.wait_for(relock, kPcscRetryInterval, [&] { return state_->cancelGeneration != generation; });
            if (state_->cancelGeneration != generation) return -1;
        }
    }
}

}  // namespace Core
}  // namespace Vellumcrest
