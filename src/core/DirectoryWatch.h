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
// looking makes a later check not quiet). Drains the queue when it returns a valid mark.
WatchMark MarkDirectory(const std::string& directory);

// True when nothing changed in or about mark's directory since mark was taken. With drain
// false the queue is not read: only for a caller that drained it since its own call began.
// An empty mark is never quiet and drains nothing.
bool DirectoryQuiet(const WatchMark& mark, bool drain);

}  // namespace Core
}  // namespace Vellumcrest
