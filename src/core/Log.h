// Call log: printf-style lines with timestamp, thread id and application name, appended
// to one file that several Log objects may share. A line is written when its level is
// at or below the configured level; lines above it cost no formatting.
#pragma once

#include <atomic>
#include <cstdarg>
#include <mutex>
#include <string>

namespace Vellumcrest {
namespace Core {

class Log {
public:
    enum Level : int {
        LevelOff = 0,
        LevelError = 1,
        LevelWarning = 2,
        LevelInfo = 3,
        LevelDebug = 4,
    };

    Log();
    virtual ~Log();
    Log(const Log&) = delete;
    Log& operator=(const Log&) = delete;

    void SetApplication(const char* name);
    void SetFileName(const char* path);
    void SetLevel(int level);
    int GetLevel() const;
    bool IsEnabled(int level) const;

    void Error(const char* format, ...) __attribute__((format(printf, 2, 3)));
    void Warning(const char* format, ...) __attribute__((format(printf, 2, 3)));
    void Info(const char* format, ...) __attribute__((format(printf, 2, 3)));
    void Debug(const char* format, ...) __attribute__((format(printf, 2, 3)));
    void Write(int level, const char* format, ...) __attribute__((format(printf, 3, 4)));
    void WriteV(int level, const char* format, va_list args);

    // A title line followed by a hex and ASCII dump of the bytes.
    void InfoData(const void* data, unsigned short length, const char* title, ...)
        __attribute__((format(printf, 4, 5)));
    void DebugData(const void* data, unsigned short length, const char* title, ...)
        __attribute__((format(printf, 4, 5)));
    void WriteData(int level, const void* data, unsigned short length, const char* title, ...)
        __attribute__((format(printf, 5, 6)));

private:
    void writeDataV(int level, const void* data, unsigned short length, const char* title, va_list args);
    // Prefixes every line of text with time, thread and application and appends the
    // whole block with one write().
    void emit(const std::string& text);
    int openLocked();
    static int openSafely(const std::string& path, bool* refused);

    mutable std::mutex mutex_;
    std::string application_;
    std::string fileName_;
    std::atomic<int> level_{LevelOff};
    std::atomic<bool> hasFile_{false};
    int fd_ = -1;
    bool refused_ = false;  // the path was not safe to open; logging is off
};

// The card core's own log ("Pkcs11-core" once the module has set it up).
Log* GetCoreLog();

}  // namespace Core
}  // namespace Vellumcrest
