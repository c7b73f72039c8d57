#include "core/Config.h"

#include <strings.h>

#include <cctype>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>

namespace Vellumcrest {
namespace Core {

namespace {

// Configuration files are small; anything beyond this is not read.
constexpr std::streamsize kMaxConfigFileSize = 1024 * 1024;
constexpr size_t kMaxConfigPath = 260;

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v'; }

std::string trim(const std::string& text) {
    size_t begin = 0;
    size_t end = text.size();
    while (begin < end && isBlank(text[begin])) ++begin;
    while (end > begin && isBlank(text[end - 1])) --end;
    return text.substr(begin, end - begin);
}

bool equalsNoCase(const std::string& a, const char* b) { return ::strcasecmp(a.c_str(), b) == 0; }

// The raw (trimmed, unquoted) value of key in section; false when the file, the
// section or the key is missing. The first matching key in file order wins.
bool lookUp(const char* section, const char* key, const char* path, std::string& value) {
    if (section == nullptr || key == nullptr || path == nullptr || *path == '\0') return false;
    std::ifstream file(path, std::ios::binary);
    if (!file) return false;

    std::string content;
    char chunk[4096];
    while (static_cast<std::streamsize>(content.size()) < kMaxConfigFileSize) {
        file.read(chunk, sizeof(chunk));
        std::streamsize got = file.gcount();
        if (got <= 0) break;
        content.append(chunk, static_cast<size_t>(got));
    }
    if (content.compare(0, 3, "\xEF\xBB\xBF") == 0) content.erase(0, 3);

    bool inSection = false;
    size_t position = 0;
    while (position < content.size()) {
        size_t newline = content.find('\n', position);
        if (newline == std::string::npos) newline = content.size();
        std::string line = trim(content.substr(position, newline - position));
        position = newline + 1;

        if (line.empty() || line[0] == ';' || line[0] == '#') continue;
        if (line[0] == '[') {
            size_t close = line.find(']');
            if (close == std::string::npos) {
                inSection = false;
                continue;
            }
            inSection = equalsNoCase(trim(line.substr(1, close - 1)), section);
            continue;
        }
        if (!inSection) continue;
        size_t equals = line.find('=');
        if (equals == std::string::npos) continue;
        if (!equalsNoCase(trim(line.substr(0, equals)), key)) continue;

        value = trim(line.substr(equals + 1));
        // A value in matching quotes loses them.
        if (value.size() >= 2 && (value[0] == '"' || value[0] == '\'') && value.back() == value[0])
            value = value.substr(1, value.size() - 2);
        return true;
    }
    return false;
}

}  // namespace

int GetPrivateProfileInt(const char* section, const char* key, int defaultValue, const char* path) {
    std::string value;
    if (!lookUp(section, key, path, value) || value.empty()) return defaultValue;

    size_t i = 0;
    bool negative = false;
    if (value[i] == '+' || value[i] == '-') {
        negative = value[i] == '-';
        ++i;
    }
    long long result = 0;
    bool overflow = false;
    for (; i < value.size() && value[i] >= '0' && value[i] <= '9'; ++i) {
        if (!overflow) {
            result = result * 10 + (value[i] - '0');
            if (result > static_cast<long long>(INT_MAX) + 1) overflow = true;
        }
    }
    if (negative) result = -result;
    if (overflow) return negative ? INT_MIN : INT_MAX;
    if (result > INT_MAX) return INT_MAX;
    if (result < INT_MIN) return INT_MIN;
    return static_cast<int>(result);
}

std::string GetPrivateProfileString(const char* section, const char* key, const char* defaultValue,
                                    const char* path) {
    std::string value;
    if (lookUp(section, key, path, value)) return value;
    return defaultValue != nullptr ? defaultValue : "";
}

unsigned long ExpandEnvironmentStrings(const char* source, char* destination, unsigned long size) {
    if (source == nullptr) return 0;
    std::string out;
    const char* p = source;
    while (*p != '\0') {
        if (*p == '%') {
            const char* close = std::strchr(p + 1, '%');
            if (close != nullptr && close > p + 1) {
                std::string name(p + 1, close);
                const char* value = std::getenv(name.c_str());
                if (value != nullptr) {
                    out += value;
                    p = close + 1;
                    continue;
                }
            }
            // Not a set variable: the '%' stays, and the closing one may open the next name.
            out += '%';
            ++p;
            continue;
        }
        out += *p++;
    }
    unsigned long needed = static_cast<unsigned long>(out.size()) + 1;
    if (destination != nullptr && size >= needed) std::memcpy(destination, out.c_str(), needed);
    return needed;
}

ConfigBase::ConfigBase() { path_[0] = '\0'; }

ConfigBase::ConfigBase(const ConfigBase& other) { std::memcpy(path_, other.path_, sizeof(path_)); }

ConfigBase& ConfigBase::operator=(const ConfigBase& other) {
    if (this != &other) std::memcpy(path_, other.path_, sizeof(path_));
    return *this;
}

ConfigBase::~ConfigBase() = default;

void ConfigBase::Load(void* moduleHandle) {
    const char* path = std::getenv(kConfigPathVariable);
    if (path == nullptr || *path == '\0') path = kDefaultConfigPath;
    size_t length = std::strlen(path);
    if (length > kMaxConfigPath) {
        // Does not fit: no file, every setting takes its default.
        path_[0] = '\0';
        return;
    }
    std::memcpy(path_, path, length + 1);
}

void ConfigGlobal::Load(void* moduleHandle) {
    ConfigBase::Load(moduleHandle);
    const char* path = GetConfigPath();
    logFile_ = GetPrivateProfileString("Core", "LogFile", "", path);
    version_ = GetPrivateProfileString("Core", "Version", "4.0.0", path);
    customerCode_ = GetPrivateProfileInt("Core", "CustomerCode", 0, path);
    readersDir_ = GetPrivateProfileString("Core", "ReadersDir", kDefaultReadersDir, path);
    cspKeyType_ = GetPrivateProfileInt("Core", "CspKeyType", 0, path);
    std::string backend = GetPrivateProfileString("Core", "ReaderBackend", "directory", path);
    readerBackend_ = ReaderBackend::Directory;
    unknownReaderBackend_.clear();
    if (equalsNoCase(backend, "pcsc"))
        readerBackend_ = ReaderBackend::Pcsc;
    else if (!backend.empty() && !equalsNoCase(backend, "directory"))
        unknownReaderBackend_ = backend;
}

const char* ConfigGlobal::GetReadersDir() const {
    const char* fromEnvironment = std::getenv(kReadersDirVariable);
    if (fromEnvironment != nullptr && *fromEnvironment != '\0') return fromEnvironment;
    if (!readersDir_.empty()) return readersDir_.c_str();
    return kDefaultReadersDir;
}

ConfigGlobal* GetConfigGlobal() {
    // Built and loaded on first use; destroyed at unload or exit after every static made
    // later (the module makes it first).
    struct LoadedConfig : ConfigGlobal {
        LoadedConfig() { Load(nullptr); }
    };
    static LoadedConfig config;
    return &config;
}

}  // namespace Core
}  // namespace Vellumcrest
