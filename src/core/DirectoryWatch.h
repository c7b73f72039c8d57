// Change tracking of reader directories through the kernel's inotify queue, so that the
// check "did the reader or its card change?" made at every call costs one poll instead of
// a path lookup per file.
//
// The kernel queues an event before the changing call returns: an entry of a watched
// directory created, removed, renamed, written or changed in its attributes, the directory
// itself moved or removed, one of its ancestors moved or removed, or a mount of the process
// changed. Draining the queue at a check therefore sees every change that completed before
// the check began. Whatever cannot be watched (a relative path, a path through a symbolic
// link, no inotify) is never quiet: callers then look at the files as before.
#pragma once

#include <cstdint>
#include <string>

namespace Vellumcrest {
namespace Core {

// The state of a watched directory at one moment; empty when it is not watched.
struct WatchMark {
    const void* entry = nullptr;
    uint64_t generation = 0;
    uint64_t globalGeneration = 0;
    bool Valid() const { return entry != nullptr; }
};

// The present state of directory, taken before looking at its files (a change while
// looking makes a later check not quiet). Changes of the file named file (may be null) count
// also when made through another name of it. Reads the queue when it returns a valid mark.
WatchMark MarkDirectory(const std::string& directory, const char* file = nullptr);

// When a check reads the change queue: never (the caller read it since its call began),
// once per outer call on this thread (every time outside a CallSpan), or always (a check
// under the card's file lock must see every write made before the lock was taken).
enum class QueueRead { No, OncePerCall, Always };

// True when nothing changed in or about mark's directory since mark was taken. An empty
// mark is never quiet and reads nothing.
bool DirectoryQuiet(const WatchMark& mark, QueueRead read);

// Marks one outer call into the library on this thread: checks inside it read the change
// queue once, which shows every change completed before the call began.
class CallSpan {
public:
    CallSpan();
    ~CallSpan();
    CallSpan(const CallSpan&) = delete;
    CallSpan& operator=(const CallSpan&) = delete;
};

}  // namespace Core
}  // namespace Vellumcrest
