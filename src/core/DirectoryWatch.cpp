#include "core/DirectoryWatch.h"

#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <pthread.h>
#include <sys/inotify.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <new>
#include <unordered_map>
#include <vector>

namespace Vellumcrest {
namespace Core {

namespace {

// File systems whose changes all pass through this kernel, so that its queue shows them (a
// network or FUSE file system changes elsewhere).
bool localFileSystem(const std::string& directory) {
    struct statfs fs;
    if (::statfs(directory.c_str(), &fs) != 0) return false;
    switch (static_cast<unsigned long>(fs.f_type)) {
        case 0xEF53:      // ext2, ext3, ext4
        case 0x58465342:  // xfs
        case 0x9123683E:  // btrfs
        case 0x01021994:  // tmpfs
        case 0x858458F6:  // ramfs
        case 0xF2F52010:  // f2fs
        case 0x2FC12FC1:  // zfs
        case 0x794C7630:  // overlayfs
            return true;
        default:
            return false;
    }
}

// Everything that can change what a reader directory holds. Opening, reading and closing
// are not included: looking at a card must not count as a change of it.
constexpr uint32_t kDirectoryEvents = IN_MODIFY | IN_ATTRIB | IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO |
                                      IN_DELETE_SELF | IN_MOVE_SELF;
// A file is watched also by itself: a write through another name of it has no event in the
// directory.
constexpr uint32_t kFileEvents = IN_MODIFY | IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF;
// An ancestor matters only when it is moved or removed (the path then leads elsewhere).
constexpr uint32_t kAncestorEvents = IN_DELETE_SELF | IN_MOVE_SELF;

// Outer calls of this thread, and whether one of their checks read the queue.
thread_local int callDepth = 0;
thread_local bool queueReadInCall = false;

struct Entry {
    int wd = -1;  // -1: not watched (yet, or any more)
    uint64_t generation = 1;
};

struct Descriptor {
    std::vector<Entry*> directories;
    bool ancestor = false;
};

class Watcher {
public:
    ~Watcher() {
        std::lock_guard<std::mutex> guard(mutex_);
        closeAll();
    }

    WatchMark Mark(const std::string& directory, const char* file) {
        std::lock_guard<std::mutex> guard(mutex_);
        try {
            if (!open() || !drain()) return WatchMark();
            Entry* entry = watch(directory, file);
            if (entry == nullptr) return WatchMark();
            return WatchMark{entry, entry->generation, global_};
        } catch (const std::bad_alloc&) {
            return WatchMark();
        }
    }

    bool Quiet(const WatchMark& mark, QueueRead read) {
        if (!mark.Valid()) return false;
        bool drainQueue = read == QueueRead::Always ||
                          (read == QueueRead::OncePerCall && !(callDepth > 0 && queueReadInCall));
        std::lock_guard<std::mutex> guard(mutex_);
        if (inotify_ < 0) return false;
        if (drainQueue && !drain()) return false;
        const Entry* entry = static_cast<const Entry*>(mark.entry);
        return entry->wd >= 0 && entry->generation == mark.generation && global_ == mark.globalGeneration;
    }

    // A forked child shares the queue and the mount file with its parent: whichever reads
    // an event takes it from the other. The child starts over with descriptors of its own.
    void Prepare() { mutex_.lock(); }
    void Parent() { mutex_.unlock(); }
    void Child() {
        closeAll();
        mutex_.unlock();
    }

private:
    bool open() {
        if (inotify_ >= 0) return true;
        if (broken_) return false;
        static std::once_flag registered;
        std::call_once(registered, [] { ::pthread_atfork(&prepareFork, &parentFork, &childFork); });
        inotify_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        mounts_ = ::open("/proc/self/mountinfo", O_RDONLY | O_CLOEXEC);
        if (inotify_ < 0 || mounts_ < 0) {
            closeAll();
            broken_ = true;  // no second try per process: the limits do not change
            return false;
        }
        return true;
    }

    void closeAll() {
        if (inotify_ >= 0) ::close(inotify_);
        if (mounts_ >= 0) ::close(mounts_);
        inotify_ = mounts_ = -1;
        for (auto& item : entries_) item.second->wd = -1;
        descriptors_.clear();
        ancestors_.clear();
        ++global_;
    }

    // Reads every queued event; false (and nothing is quiet any more) when the queue
    // cannot be read.
    bool drain() {
        struct pollfd fds[2] = {{inotify_, POLLIN, 0}, {mounts_, POLLPRI, 0}};
        int ready;
        do {
            ready = ::poll(fds, 2, 0);
        } while (ready < 0 && errno == EINTR);
        if (ready < 0) return fail();
        if (callDepth > 0) queueReadInCall = true;
        if (ready == 0) return true;
        if ((fds[1].revents & (POLLPRI | POLLERR)) != 0) ++global_;
        if ((fds[0].revents & POLLIN) == 0) return true;
        alignas(struct inotify_event) char buffer[16 * (sizeof(struct inotify_event) + NAME_MAX + 1)];
        for (;;) {
            ssize_t length = ::read(inotify_, buffer, sizeof buffer);
            if (length < 0 && errno == EINTR) continue;
            if (length < 0 && errno == EAGAIN) return true;
            if (length <= 0) {
                queueReadInCall = false;
                return fail();
            }
            for (ssize_t at = 0; at < length;) {
                const auto* event = reinterpret_cast<const struct inotify_event*>(buffer + at);
                note(*event);
                at += static_cast<ssize_t>(sizeof(struct inotify_event) + event->len);
            }
        }
    }

    bool fail() {
        closeAll();
        broken_ = true;
        return false;
    }

    void note(const struct inotify_event& event) {
        if (event.wd < 0 || (event.mask & IN_Q_OVERFLOW) != 0) {
            ++global_;
            return;
        }
        auto found = descriptors_.find(event.wd);
        if (found == descriptors_.end()) return;
        for (Entry* entry : found->second.directories) ++entry->generation;
        if (found->second.ancestor) ++global_;
        if ((event.mask & IN_IGNORED) != 0) {  // the watch is gone: removed or unmounted
            for (Entry* entry : found->second.directories)
                if (entry->wd == event.wd) entry->wd = -1;
            if (found->second.ancestor) {
                for (auto it = ancestors_.begin(); it != ancestors_.end();)
                    it = it->second == event.wd ? ancestors_.erase(it) : std::next(it);
            }
            descriptors_.erase(found);
        }
    }

    // The entry of directory, watched with all its ancestors; null when it cannot be.
    Entry* watch(const std::string& directory, const char* file) {
        if (directory.size() < 2 || directory[0] != '/') return nullptr;
        // Only a canonical path is watched: through a link, the watched directory and the
        // one the path names could part ways without an event.
        std::unique_ptr<char, void (*)(void*)> real(::realpath(directory.c_str(), nullptr), std::free);
        if (!real || directory != real.get() || !localFileSystem(directory)) return nullptr;
        std::unique_ptr<Entry>& slot = entries_[directory];
        if (!slot) slot.reset(new Entry());
        Entry* entry = slot.get();
        if (entry->wd < 0) {
            int wd = ::inotify_add_watch(inotify_, directory.c_str(), kDirectoryEvents | IN_ONLYDIR | IN_MASK_ADD);
            if (wd < 0) return nullptr;
            entry->wd = wd;
            ++entry->generation;
            addOwner(wd, entry);
        }
        for (size_t slash = directory.find_last_of('/'); slash != std::string::npos && slash > 0;
             slash = directory.find_last_of('/', slash - 1)) {
            std::string ancestor = directory.substr(0, slash);
            if (ancestors_.count(ancestor) != 0) continue;
            int wd = ::inotify_add_watch(inotify_, ancestor.c_str(), kAncestorEvents | IN_ONLYDIR | IN_MASK_ADD);
            if (wd < 0) return nullptr;
            ancestors_[ancestor] = wd;
            descriptors_[wd].ancestor = true;
        }
        if (file != nullptr) {
            int wd = ::inotify_add_watch(inotify_, (directory + "/" + file).c_str(), kFileEvents | IN_MASK_ADD);
            if (wd < 0 && errno != ENOENT) return nullptr;  // a missing file appears with an event
            if (wd >= 0) addOwner(wd, entry);
        }
        return entry;
    }

    void addOwner(int wd, Entry* entry) {
        std::vector<Entry*>& owners = descriptors_[wd].directories;
        if (std::find(owners.begin(), owners.end(), entry) == owners.end()) owners.push_back(entry);
    }

    static void prepareFork();
    static void parentFork();
    static void childFork();

    std::mutex mutex_;
    int inotify_ = -1;
    int mounts_ = -1;
    bool broken_ = false;
    uint64_t global_ = 1;
    std::unordered_map<std::string, std::unique_ptr<Entry>> entries_;  // never shrinks: marks point here
    std::unordered_map<int, Descriptor> descriptors_;
    std::unordered_map<std::string, int> ancestors_;
};

Watcher& watcher() {
    static Watcher instance;
    return instance;
}

void Watcher::prepareFork() { watcher().Prepare(); }
void Watcher::parentFork() { watcher().Parent(); }
void Watcher::childFork() { watcher().Child(); }

}  // namespace

WatchMark MarkDirectory(const std::string& directory, const char* file) { return watcher().Mark(directory, file); }

bool DirectoryQuiet(const WatchMark& mark, QueueRead read) { return watcher().Quiet(mark, read); }

CallSpan::CallSpan() {
    if (callDepth++ == 0) queueReadInCall = false;
}

CallSpan::~CallSpan() { --callDepth; }

}  // namespace Core
}  // namespace Vellumcrest
