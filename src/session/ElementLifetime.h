// Lifetime helpers for sessions and session groups.
//
// A closed element is destroyed at its last Unlock: when the closing thread itself still
// holds the element further up its stack (a call that closes its own session while it
// runs), destruction waits until that outer hold is released instead of freeing memory
// the caller is still using.
//
// Look-ups never block on an element while they hold a list lock: they try the element's
// lock and, when another thread has it, release the list lock and try again. Threads that
// hold an element may therefore take a list lock without risking a deadlock.
#pragma once

#include <chrono>
#include <thread>

#include "core/ExclusiveLock.h"

namespace Vellumcrest {
namespace Pkcs11 {
namespace Lifetime {

// Marks an element (locked by the caller) to be destroyed at its last Unlock.
void MarkClosed(const void* element);
// True (and forgets the mark) when the element was marked closed.
bool TakeClosed(const void* element);

// While a TryScope is active on a thread, Session::Lock and SessionGroup::Lock do not
// wait: they take the lock only when it is free (or already held by this thread) and
// report through Taken() whether they did.
class TryScope {
public:
    TryScope();
    ~TryScope();
    TryScope(const TryScope&) = delete;
    TryScope& operator=(const TryScope&) = delete;
    bool Taken() const;
};
// For the Lock implementations: true when the current Lock call must only try.
bool TryModeActive();
// For the Lock implementations: the outcome of a Lock call made in try mode.
void ReportTry(bool taken);

// Holds an ExclusiveLock for a scope.
class Guard {
public:
    explicit Guard(Core::ExclusiveLock& lock) : lock_(lock) { lock_.Lock(); }
    ~Guard() { lock_.Unlock(); }
    Guard(const Guard&) = delete;
    Guard& operator=(const Guard&) = delete;

private:
    Core::ExclusiveLock& lock_;
};

// Pause between two attempts to take an element held by another thread.
inline void Backoff(unsigned attempt) {
    if (attempt < 16)
        std::this_thread::yield();
    else
        std::this_thread::sleep_for(std::chrono::microseconds(attempt < 64 ? 100 : 1000));
}

}  // namespace Lifetime
}  // namespace Pkcs11
}  // namespace Vellumcrest
