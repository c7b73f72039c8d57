// Re-entrant mutual exclusion: the owning thread may take the lock again.
#pragma once

#include <chrono>
#include <mutex>
#include <thread>

namespace Vellumcrest {
namespace Core {

class ExclusiveLock {
public:
    ExclusiveLock() = default;
    ExclusiveLock(const ExclusiveLock&) = delete;
    ExclusiveLock& operator=(const ExclusiveLock&) = delete;
    virtual ~ExclusiveLock() = default;

    void Lock() { mutex_.lock(); }
    void Unlock() { mutex_.unlock(); }
    bool TryLock() { return mutex_.try_lock(); }

private:
    std::recursive_mutex mutex_;
};

// Holds a lock for a scope, also when the scope is left by an exception. Works for every
// class with Lock() and Unlock(): an ExclusiveLock, a reader/card pair.
template <typename Lockable>
class LockGuard {
public:
    explicit LockGuard(Lockable& lockable) : lockable_(lockable) { lockable_.Lock(); }
    ~LockGuard() { lockable_.Unlock(); }
    LockGuard(const LockGuard&) = delete;
    LockGuard& operator=(const LockGuard&) = delete;

private:
    Lockable& lockable_;
};

// Pause between two attempts to take a lock that another thread holds.
inline void Backoff(unsigned attempt) {
    if (attempt < 16)
        std::this_thread::yield();
    else
        std::this_thread::sleep_for(std::chrono::microseconds(attempt < 64 ? 100 : 1000));
}

// Holds an element fetched locked (or null) and unlocks it at the end of the scope.
template <typename Element>
class Held {
public:
    explicit Held(Element* element) : element_(element) {}
    ~Held() {
        if (element_ != nullptr) element_->Unlock();
    }
    Held(const Held&) = delete;
    Held& operator=(const Held&) = delete;
    Element* get() const { return element_; }
    Element* operator->() const { return element_; }
    explicit operator bool() const { return element_ != nullptr; }

private:
    Element* element_;
};

}  // namespace Core
}  // namespace Vellumcrest
