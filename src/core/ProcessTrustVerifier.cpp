#include "core/ProcessTrustVerifier.h"

#include <fcntl.h>
#include <limits.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "core/Log.h"

namespace Vellumcrest {
namespace Core {

namespace {

// A list is a few lines; a larger file is not used (nothing is trusted), so that a wrong
// path cannot make loading the library read or check without limit.
constexpr std::streamsize kMaxListSize = 1024 * 1024;
constexpr size_t kMaxEntries = 1024;

bool isHex(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

char lower(char c) { return (c >= 'A' && c <= 'F') ? static_cast<char>(c - 'A' + 'a') : c; }

// Lower-case hex SHA-256 of the file's content, read in pieces; empty on failure.
std::string sha256OfFile(const char* path) {
    int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::string();
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    bool ok = context != nullptr && EVP_DigestInit_ex(context, EVP_sha256(), nullptr) == 1;
    unsigned char buffer[64 * 1024];
    while (ok) {
        ssize_t got = ::read(fd, buffer, sizeof(buffer));
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) ok = false;
        if (got <= 0) break;
        ok = EVP_DigestUpdate(context, buffer, static_cast<size_t>(got)) == 1;
    }
    ::close(fd);
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (ok) ok = EVP_DigestFinal_ex(context, digest, &length) == 1;
    EVP_MD_CTX_free(context);
    if (!ok) return std::string();
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    for (unsigned int i = 0; i < length; ++i) {
        hex += digits[digest[i] >> 4];
        hex += digits[digest[i] & 0x0F];
    }
    return hex;
}

std::string resolve(const std::string& path) {
    char resolved[PATH_MAX];
    if (::realpath(path.c_str(), resolved) == nullptr) return std::string();
    return resolved;
}

}  // namespace

// Lines as sha256sum writes them: 64 hex digits, blanks (and sha256sum's optional '*'
// binary marker), then the absolute path, which may contain blanks. CRLF endings, blank
// lines and '#' comments are accepted; malformed lines are skipped with a warning.
bool ProcessTrustVerifier::LoadTrustedAppsFile(const orvostd::OrvoString& path) {
    std::vector<Entry> loaded;
    std::ifstream file(path.c_str(), std::ios::binary);
    bool readable = !path.empty() && file.is_open();
    std::string content;
    if (readable) {
        content.resize(static_cast<size_t>(kMaxListSize) + 1);
        file.read(&content[0], kMaxListSize + 1);
        content.resize(static_cast<size_t>(file.gcount()));
        if (static_cast<std::streamsize>(content.size()) > kMaxListSize) {
            GetCoreLog()->Warning("ProcessTrustVerifier: %s is larger than %ld bytes; not used", path.c_str(),
                                  static_cast<long>(kMaxListSize));
            readable = false;
        }
    }
    if (readable) {
        std::istringstream lines(content);
        std::string line;
        int number = 0;
        while (std::getline(lines, line)) {
            ++number;
            while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t'))
                line.pop_back();
            size_t start = line.find_first_not_of(" \t");
            if (start == std::string::npos || line[start] == '#') continue;
            line.erase(0, start);

            bool valid = line.size() >= 66;
            for (size_t i = 0; valid && i < 64; ++i) valid = isHex(line[i]);
            valid = valid && (line[64] == ' ' || line[64] == '\t');
            size_t pathStart = 64;
            while (valid && pathStart < line.size() && (line[pathStart] == ' ' || line[pathStart] == '\t'))
                ++pathStart;
            if (valid && pathStart < line.size() && line[pathStart] == '*') ++pathStart;
            valid = valid && pathStart < line.size() && line[pathStart] == '/';
            if (!valid) {
                GetCoreLog()->Warning("ProcessTrustVerifier: %s:%d: line ignored (expected \"<sha256>  <path>\")",
                                      path.c_str(), number);
                continue;
            }
            if (loaded.size() >= kMaxEntries) {
                GetCoreLog()->Warning("ProcessTrustVerifier: %s: more than %zu entries; the rest is ignored",
                                      path.c_str(), kMaxEntries);
                break;
            }
            Entry entry;
            for (size_t i = 0; i < 64; ++i) entry.sha256Hex += lower(line[i]);
            entry.path = line.substr(pathStart);
            loaded.push_back(std::move(entry));
        }
    }

    std::lock_guard<std::mutex> guard(mutex_);
    entries_.swap(loaded);
    if (!readable) {
        GetCoreLog()->Info("ProcessTrustVerifier: trusted applications list %s not readable",
                           path.empty() ? "(none)" : path.c_str());
        return false;
    }
    GetCoreLog()->Info("ProcessTrustVerifier: %zu trusted application(s) listed in %s", entries_.size(),
                       path.c_str());
    return true;
}

bool ProcessTrustVerifier::VerifyTrust() {
    std::lock_guard<std::mutex> guard(mutex_);
    bool trusted = false;
    std::string executable = resolve("/proc/self/exe");
    if (!executable.empty()) {
        std::string digest;  // computed once, and only when a listed path matches
        for (const Entry& entry : entries_) {
            if (entry.path != executable && resolve(entry.path) != executable) continue;
            if (digest.empty()) digest = sha256OfFile("/proc/self/exe");
            if (!digest.empty() && digest == entry.sha256Hex) {
                trusted = true;
                break;
            }
        }
    }
    trusted_ = trusted;
    GetCoreLog()->Info("ProcessTrustVerifier: process %s is %s", executable.empty() ? "(unknown)" : executable.c_str(),
                       trusted ? "trusted" : "not trusted");
    return trusted;
}

ProcessTrustVerifier* GetProcTrustVerifier() {
    static ProcessTrustVerifier verifier;
    return &verifier;
}

}  // namespace Core
}  // namespace Vellumcrest
