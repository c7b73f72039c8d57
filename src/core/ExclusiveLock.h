// Re-entrant mutual exclusion: the owning thread may take the lock again.
#pragma once

#include <mutex>

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

}  // namespace Core
}  // namespace Vellumcrest
