// Lifetime helpers for sessions and session groups.
//
// A closed element is destroyed at its last Unlock: when a thread still holds it (another
// thread in the middle of a call, or the closing thread itself further up its stack, as
// in a call that closes its own session), destruction waits for that hold to be released
// instead of freeing memory that is still in use. Closing never waits for a holder.
//
// Look-ups never block on an element while they hold a list lock: they try the element's
// lock and, when another thread has it, release the list lock and try again. Threads that
// hold an element may therefore take a list lock without risking a deadlock.
#pragma once

#include <mutex>

#include "core/ExclusiveLock.h"

namespace Vellumcrest {
namespace Pkcs11 {

class Session;
class SessionGroup;

namespace Lifetime {

// Closing, for an element already taken out of its list: true when the caller now holds
// the element (it then marks it closed and unlocks it, which destroys it unless this
// thread holds it further up its stack); false when another thread holds it, which then
// destroys it at its last Unlock; the caller must not touch it any more.
bool Claim(Session* element);
bool Claim(SessionGroup* element);
// Marks an element (held by the caller) to be destroyed at its last Unlock.
void MarkClosed(const void* element);
// For the Unlock implementations: releases the last hold of an element through release
// and tells whether the element was closed and must now be destroyed.
template <typename Release>
bool ReleaseLast(const void* element, Release release);
bool TakeClosedHeld(const void* element);  // with ClosedMutex() held
std::mutex& ClosedMutex();

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

template <typename Release>
bool ReleaseLast(const void* element, Release release) {
    std::lock_guard<std::mutex> guard(ClosedMutex());
    bool closed = TakeClosedHeld(element);
    release();
    return closed;
}

// Holds an ExclusiveLock for a scope.
using Guard = Core::LockGuard<Core::ExclusiveLock>;

// Pause between two attempts to take an element held by another thread.
inline void Backoff(unsigned attempt) { Core::Backoff(attempt); }

}  // namespace Lifetime
}  // namespace Pkcs11
}  // namespace Vellumcrest
