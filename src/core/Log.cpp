#include "core/Log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

namespace Vellumcrest {
namespace Core {

namespace {

// Longest text of one log call; longer text is cut and marked with "...".
constexpr size_t kMaxText = 64 * 1024;

// printf into a string, at most kMaxText bytes; no fixed buffer limit below that.
std::string formatV(const char* format, va_list args) {
    if (format == nullptr) return std::string();
    char small[512];
    va_list copy;
    va_copy(copy, args);
    int needed = std::vsnprintf(small, sizeof(small), format, copy);
    va_end(copy);
    if (needed < 0) return std::string("(unprintable log message)");
    if (static_cast<size_t>(needed) < sizeof(small)) return std::string(small, needed);

    bool truncated = static_cast<size_t>(needed) > kMaxText;
    size_t room = truncated ? kMaxText : static_cast<size_t>(needed);
    std::string text(room + 1, '\0');
    va_copy(copy, args);
    std::vsnprintf(&text[0], text.size(), format, copy);
    va_end(copy);
    text.resize(room);
    if (truncated) {
        size_t cut = room - 3;
        // Do not leave half a UTF-8 sequence before the mark.
        while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
        text.resize(cut);
        text += "...";
    }
    return text;
}

// "    0000: 30 82 01 0a ...  |0.......|", 16 bytes per line.
void appendDump(std::string& out, const unsigned char* data, size_t length) {
    static const char digits[] = "0123456789abcdef";
    for (size_t offset = 0; offset < length; offset += 16) {
        char prefix[32];
        std::snprintf(prefix, sizeof(prefix), "    %04zx: ", offset);
        out += '\n';
        out += prefix;
        size_t n = length - offset < 16 ? length - offset : 16;
        for (size_t i = 0; i < 16; ++i) {
            if (i < n) {
                out += digits[data[offset + i] >> 4];
                out += digits[data[offset + i] & 0x0F];
                out += ' ';
            } else {
                out += "   ";
            }
        }
        out += " |";
        for (size_t i = 0; i < n; ++i) {
            unsigned char c = data[offset + i];
            out += (c >= 0x20 && c < 0x7F) ? static_cast<char>(c) : '.';
        }
        out += '|';
    }
}

}  // namespace

Log::Log() = default;

Log::~Log() {
    std::lock_guard<std::mutex> guard(mutex_);
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

void Log::SetApplication(const char* name) {
    std::lock_guard<std::mutex> guard(mutex_);
    application_ = name != nullptr ? name : "";
}

void Log::SetFileName(const char* path) {
    std::lock_guard<std::mutex> guard(mutex_);
    std::string next = path != nullptr ? path : "";
    if (next != fileName_ && fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
    fileName_ = next;
    refused_ = false;
    hasFile_.store(!fileName_.empty());
}

void Log::SetLevel(int level) { level_.store(level < LevelOff ? LevelOff : level); }

int Log::GetLevel() const { return level_.load(); }

// A line of level L is written when logging is on (level > 0, a file set) and
// L <= the configured level.
bool Log::IsEnabled(int level) const {
    int configured = level_.load(std::memory_order_relaxed);
    return configured > LevelOff && level <= configured && hasFile_.load(std::memory_order_relaxed);
}

#define VC_LOG_LEVEL_BODY(lvl)              \
    if (!IsEnabled(lvl)) return;            \
    va_list args;                           \
    va_start(args, format);                 \
    std::string text = formatV(format, args); \
    va_end(args);                           \
    emit(text);

void Log::Error(const char* format, ...) { VC_LOG_LEVEL_BODY(LevelError) }
void Log::Warning(const char* format, ...) { VC_LOG_LEVEL_BODY(LevelWarning) }
void Log::Info(const char* format, ...) { VC_LOG_LEVEL_BODY(LevelInfo) }
void Log::Debug(const char* format, ...) { VC_LOG_LEVEL_BODY(LevelDebug) }
void Log::Write(int level, const char* format, ...) { VC_LOG_LEVEL_BODY(level) }

#undef VC_LOG_LEVEL_BODY

void Log::WriteV(int level, const char* format, va_list args) {
    if (!IsEnabled(level)) return;
    emit(formatV(format, args));
}

void Log::InfoData(const void* data, unsigned short length, const char* title, ...) {
    if (!IsEnabled(LevelInfo)) return;
    va_list args;
    va_start(args, title);
    writeDataV(LevelInfo, data, length, title, args);
    va_end(args);
}

void Log::DebugData(const void* data, unsigned short length, const char* title, ...) {
    if (!IsEnabled(LevelDebug)) return;
    va_list args;
    va_start(args, title);
    writeDataV(LevelDebug, data, length, title, args);
    va_end(args);
}

void Log::WriteData(int level, const void* data, unsigned short length, const char* title, ...) {
    if (!IsEnabled(level)) return;
    va_list args;
    va_start(args, title);
    writeDataV(level, data, length, title, args);
    va_end(args);
}

void Log::writeDataV(int level, const void* data, unsigned short length, const char* title, va_list args) {
    if (!IsEnabled(level)) return;
    std::string text = formatV(title, args);
    if (data == nullptr && length > 0) {
        text += "\n    (null, " + std::to_string(length) + " bytes)";
    } else {
        text.reserve(text.size() + (length / 16 + 1) * 80);
        appendDump(text, static_cast<const unsigned char*>(data), length);
    }
    emit(text);
}

// Opens the log file for appending, or re-opens it when it was removed or replaced since
// it was opened. Called with mutex_ held. A path that is not safe to write to (see
// openSafely) switches the log off until another file name is set: the lines are never
// redirected to whatever the path points at.
int Log::openLocked() {
    if (refused_) return -1;
    if (fd_ >= 0) {
        struct stat byPath, byFd;
        if (::lstat(fileName_.c_str(), &byPath) == 0 && ::fstat(fd_, &byFd) == 0 &&
            byPath.st_dev == byFd.st_dev && byPath.st_ino == byFd.st_ino)
            return fd_;
        ::close(fd_);
        fd_ = -1;
    }
    bool refused = false;
    fd_ = openSafely(fileName_, &refused);
    if (refused) {
        refused_ = true;
        hasFile_.store(false);
    }
    return fd_;
}

// Opens path for appending, creating it with mode 0600. Refuses (*refused, -1) a symbolic
// link, anything but a regular file, a file of another user, a file that others may write
// to and a file with further hard links: in a shared directory each of them would let
// another user receive the log or point it at a file of ours.
int Log::openSafely(const std::string& path, bool* refused) {
    *refused = false;
    // O_NONBLOCK: a FIFO planted at the path must not block the caller.
    int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY,
                    0600);
    if (fd < 0) {
        // A link, or a FIFO without reader, device or directory: refused. A missing
        // directory or a permission problem may pass; the next line tries again.
        struct stat st;
        if (errno == ELOOP || (::lstat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode))) *refused = true;
        return -1;
    }
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid() || (st.st_mode & S_IWOTH) != 0 ||
        st.st_nlink != 1) {
        ::close(fd);
        *refused = true;
        return -1;
    }
    int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    return fd;
}

void Log::emit(const std::string& text) {
    struct timespec now;
    ::clock_gettime(CLOCK_REALTIME, &now);
    struct tm local;
    ::localtime_r(&now.tv_sec, &local);
    long tid = static_cast<long>(::syscall(SYS_gettid));

    std::lock_guard<std::mutex> guard(mutex_);
    if (fileName_.empty()) return;

    char stamp[96];
    int stampLength = std::snprintf(stamp, sizeof(stamp), "%04d-%02d-%02d %02d:%02d:%02d.%03ld [%ld] ",
                                    local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                                    local.tm_min, local.tm_sec, now.tv_nsec / 1000000L, tid);
    std::string prefix(stamp, stampLength > 0 ? static_cast<size_t>(stampLength) : 0);
    if (!application_.empty()) prefix += application_ + ": ";

    // Every line of the text gets the prefix; a trailing newline adds no empty line.
    std::string out;
    out.reserve(text.size() + prefix.size() * 2 + 1);
    size_t start = 0;
    size_t end = text.size();
    if (end > 0 && text[end - 1] == '\n') --end;
    do {
        size_t newline = text.find('\n', start);
        if (newline == std::string::npos || newline > end) newline = end;
        out += prefix;
        out.append(text, start, newline - start);
        out += '\n';
        start = newline + 1;
    } while (start <= end);

    int fd = openLocked();
    if (fd < 0) return;
    const char* p = out.data();
    size_t left = out.size();
    while (left > 0) {
        ssize_t written = ::write(fd, p, left);
        if (written < 0) {
            if (errno == EINTR) continue;
            return;
        }
        p += written;
        left -= static_cast<size_t>(written);
    }
}

Log* GetCoreLog() {
    // Destroyed at unload or exit after every static made later (the module makes it first).
    struct CoreLog : Log {
        CoreLog() { SetApplication("Pkcs11-core"); }
    };
    static CoreLog log;
    return &log;
}

}  // namespace Core
}  // namespace Vellumcrest
