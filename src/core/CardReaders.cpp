#include "core/CardReaders.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <unordered_map>

#include "core/CardCrypto.h"
#include "core/CardImage.h"

namespace Vellumcrest {
namespace Core {

namespace {

std::string trim(const std::string& text) {
    size_t begin = text.find_first_not_of(" \t\r\n");
    if (begin == std::string::npos) return std::string();
    size_t end = text.find_last_not_of(" \t\r\n");
    return text.substr(begin, end - begin + 1);
}

bool truthy(const std::string& value) {
    return value == "1" || value == "yes" || value == "true" || value == "on";
}

}  // namespace

bool IsValidReaderName(const std::string& name) {
    if (name.empty() || name.size() > kReaderNameMaxLength) return false;
    if (trim(name) != name) return false;
    for (unsigned char c : name)
        if (c < 0x20 || c == 0x7F) return false;
    return true;
}

std::string ReaderDirectoryName(const std::string& name) {
    std::string out;
    for (size_t i = 0; i < name.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(name[i]);
        bool safe = (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '-' ||
                    c == '_' || (c == '.' && i > 0);
        if (safe) {
            out += static_cast<char>(c);
        } else {
            char escaped[4];
            std::snprintf(escaped, sizeof escaped, "%%%02X", c);
            out += escaped;
        }
    }
    if (out.size() > 200) {
        std::vector<unsigned char> digest =
            CardCrypto::Sha256(reinterpret_cast<const unsigned char*>(name.data()), name.size());
        out = out.substr(0, 180) + "-" + CardCrypto::ToHex(digest.data(), 8);
    }
    return out;
}

namespace {

// reader.conf is read on every card check: its parsed form is kept per file and used again
// while the file's stamp is unchanged.
struct ConfCache {
    std::mutex mutex;
    std::unordered_map<std::string, std::pair<CardFileStamp, ReaderEntry>> entries;
};

ConfCache& confCache() {
    static ConfCache instance;
    return instance;
}

bool parseReaderConf(const std::string& directory, const std::string& path, ReaderEntry* entry);

}  // namespace

bool ReadReaderConf(const std::string& directory, ReaderEntry* entry) {
    const std::string path = directory + "/" + kReaderConfFileName;
    // Stamped before reading: a file replaced meanwhile shows a stamp that differs next time.
    CardFileStamp stamp = StatCardFile(path);
    if (!stamp.exists) return false;
    ConfCache& cache = confCache();
    {
        std::lock_guard<std::mutex> guard(cache.mutex);
        auto found = cache.entries.find(path);
        if (found != cache.entries.end() && found->second.first == stamp) {
            *entry = found->second.second;
            return true;
        }
    }
    ReaderEntry parsed;
    if (!parseReaderConf(directory, path, &parsed)) return false;
    parsed.confStamp = stamp;
    std::lock_guard<std::mutex> guard(cache.mutex);
    cache.entries[path] = std::make_pair(stamp, parsed);
    *entry = parsed;
    return true;
}

namespace {

bool parseReaderConf(const std::string& directory, const std::string& path, ReaderEntry* entry) {
    std::ifstream in(path);
    if (!in) return false;
    ReaderEntry result;
    result.directory = directory;
    std::string line;
    while (std::getline(in, line)) {
        size_t equals = line.find('=');
        if (equals == std::string::npos) continue;
        std::string key = trim(line.substr(0, equals));
        std::string value = line.substr(equals + 1);
        if (!value.empty() && value.back() == '\r') value.pop_back();
        if (key == "name") result.name = trim(value);
        else if (key == "pinpad") result.pinPad = truthy(trim(value));
        else if (key == "pinpad_pin") {
            result.pinPadPin = trim(value);
            result.hasPinPadPin = !result.pinPadPin.empty();
        }
    }
    if (result.name.empty()) {
        size_t slash = directory.find_last_of('/');
        result.name = slash == std::string::npos ? directory : directory.substr(slash + 1);
    }
    *entry = result;
    return true;
}

}  // namespace

std::vector<ReaderEntry> ScanReaders(const std::string& readersDir) {
    std::vector<ReaderEntry> readers;
    // Closed also when memory runs out on the way.
    std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(readersDir.c_str()), ::closedir);
    if (!dir) return readers;
    while (struct dirent* item = ::readdir(dir.get())) {
        std::string name = item->d_name;
        if (name.empty() || name[0] == '.') continue;
        std::string path = readersDir + "/" + name;
        struct stat st;
        if (::stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) continue;
        ReaderEntry entry;
        if (ReadReaderConf(path, &entry)) readers.push_back(entry);
    }
    dir.reset();
    std::sort(readers.begin(), readers.end(), [](const ReaderEntry& a, const ReaderEntry& b) {
        return a.name != b.name ? a.name < b.name : a.directory < b.directory;
    });
    // Two directories claiming one name: the first (by directory) stands for it.
    readers.erase(std::unique(readers.begin(), readers.end(),
                              [](const ReaderEntry& a, const ReaderEntry& b) { return a.name == b.name; }),
                  readers.end());
    return readers;
}

CardFileStamp DirectoryStamp(const std::string& path) {
    CardFileStamp stamp;
    struct stat st;
    if (::stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return stamp;
    stamp.exists = true;
    stamp.device = st.st_dev;
    stamp.inode = st.st_ino;
    stamp.mtimeNs = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    stamp.ctimeNs = static_cast<int64_t>(st.st_ctim.tv_sec) * 1000000000 + st.st_ctim.tv_nsec;
    return stamp;
}

bool FindReader(const std::string& readersDir, const std::string& name, ReaderEntry* entry) {
    for (const ReaderEntry& reader : ScanReaders(readersDir)) {
        if (reader.name == name) {
            *entry = reader;
            return true;
        }
    }
    return false;
}

int WriteReaderConf(const ReaderEntry& entry) {
    std::ostringstream text;
    text << "name=" << entry.name << "\n"
         << "pinpad=" << (entry.pinPad ? 1 : 0) << "\n";
    if (entry.hasPinPadPin) text << "pinpad_pin=" << entry.pinPadPin << "\n";
    std::string content = text.str();
    std::vector<unsigned char> bytes(content.begin(), content.end());
    return WriteFileAtomic(entry.directory + "/" + kReaderConfFileName, bytes, nullptr);
}

}  // namespace Core
}  // namespace Vellumcrest
