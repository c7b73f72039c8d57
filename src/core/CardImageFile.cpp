// Card image files: reading, atomic replacement and the cross-process lock.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/crypto.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/CardImage.h"
#include "core/DirectoryWatch.h"
#include "core/Log.h"

namespace Vellumcrest {
namespace Core {

namespace {

std::atomic<int> writeFault{0};

const char kTempInfix[] = ".tmp-";
// The header checksum: bytes 16 to 47 of an image file.
constexpr size_t kDigestOffset = 16;
constexpr size_t kDigestSize = 32;

void takeDigest(const std::vector<unsigned char>& bytes, CardFileStamp* stamp) {
    if (stamp == nullptr || bytes.size() < kDigestOffset + kDigestSize) return;
    std::memcpy(stamp->digest, bytes.data() + kDigestOffset, kDigestSize);
    stamp->hasDigest = true;
}

CardFileStamp stampOf(const struct stat& st) {
    CardFileStamp stamp;
    stamp.exists = true;
    stamp.device = st.st_dev;
    stamp.inode = st.st_ino;
    stamp.size = st.st_size;
    stamp.mtimeNs = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    stamp.ctimeNs = static_cast<int64_t>(st.st_ctim.tv_sec) * 1000000000 + st.st_ctim.tv_nsec;
    return stamp;
}

std::string directoryOf(const std::string& path) {
    size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

std::string baseNameOf(const std::string& path) {
    size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool writeAll(int fd, const unsigned char* data, size_t size) {
    while (size > 0) {
        ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

void syncDirectory(const std::string& directory) {
    int fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    ::fsync(fd);
    ::close(fd);
}

// Removes temporary files left by writers that no longer run.
void removeStaleTemporaries(const std::string& directory, const std::string& base) {
    DIR* dir = ::opendir(directory.c_str());
    if (dir == nullptr) return;
    std::string prefix = base + kTempInfix;
    while (struct dirent* entry = ::readdir(dir)) {
        std::string name = entry->d_name;
        if (name.compare(0, prefix.size(), prefix) != 0) continue;
        char* end = nullptr;
        long pid = std::strtol(name.c_str() + prefix.size(), &end, 10);
        if (end == nullptr || *end != '\0' || pid <= 0) continue;
        if (pid == static_cast<long>(::getpid())) continue;
        if (::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM) continue;
        ::unlink((directory + "/" + name).c_str());
    }
    ::closedir(dir);
}

}  // namespace

bool CardFileStamp::operator==(const CardFileStamp& other) const {
    if (exists != other.exists) return false;
    if (!exists) return true;
    return device == other.device && inode == other.inode && size == other.size && mtimeNs == other.mtimeNs &&
           ctimeNs == other.ctimeNs;
}

CardFileStamp StatCardFile(const std::string& path) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return CardFileStamp();
    return stampOf(st);
}

bool CardFileHoldsVersion(const std::string& path, const CardFileStamp& stamp) {
    if (!stamp.hasDigest) return false;
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    unsigned char digest[kDigestSize];
    ssize_t n;
    do {
        n = ::pread(fd, digest, sizeof digest, kDigestOffset);
    } while (n < 0 && errno == EINTR);
    ::close(fd);
    return n == static_cast<ssize_t>(sizeof digest) && std::memcmp(digest, stamp.digest, sizeof digest) == 0;
}

int ReadCardImage(const std::string& path, std::unique_ptr<CardImage>* image, CardFileStamp* stamp) {
    image->reset();
    *stamp = CardFileStamp();
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return errno == ENOENT || errno == ENOTDIR ? CoreCardNotPresent : CoreIoError;
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return CoreIoError;
    }
    *stamp = stampOf(st);
    if (static_cast<unsigned long long>(st.st_size) > kCardImageMaxSize) {
        ::close(fd);
        return CoreCardUnsupported;
    }
    std::vector<unsigned char> bytes(static_cast<size_t>(st.st_size));
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::read(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
    ::close(fd);
    if (done != bytes.size()) return CoreCardUnsupported;
    takeDigest(bytes, stamp);
    int rc = CardImage::Parse(bytes.data(), bytes.size(), image);
    // The raw image holds the open storage key of uninitialised cards and the attestation key.
    if (!bytes.empty()) OPENSSL_cleanse(bytes.data(), bytes.size());
    if (rc == CoreOk && (*image)->publicOnly) {
        // A public image holds no secret: as a card it could be neither used nor written.
        image->reset();
        return CoreCardUnsupported;
    }
    return rc;
}

std::string UnreadableIdentity(const CardFileStamp& stamp) {
    char text[96];
    std::snprintf(text, sizeof text, "!%llx:%llx:%lld:%lld", static_cast<unsigned long long>(stamp.device),
                  static_cast<unsigned long long>(stamp.inode), static_cast<long long>(stamp.size),
                  static_cast<long long>(stamp.mtimeNs));
    return text;
}

std::string ReadCardIdentity(const std::string& path, CardFileStamp* cacheStamp, std::string* cacheIdentity) {
    CardFileStamp now = StatCardFile(path);
    if (!now.exists) {
        *cacheStamp = now;
        cacheIdentity->clear();
        return std::string();
    }
    if (cacheStamp->exists && now == *cacheStamp) return *cacheIdentity;
    std::unique_ptr<CardImage> image;
    CardFileStamp stamp;
    int rc = ReadCardImage(path, &image, &stamp);
    if (rc == CoreCardNotPresent) {
        *cacheStamp = CardFileStamp();
        cacheIdentity->clear();
        return std::string();
    }
    std::string identity = rc == CoreOk ? image->Identity() : UnreadableIdentity(stamp.exists ? stamp : now);
    *cacheStamp = stamp.exists ? stamp : now;
    *cacheIdentity = identity;
    return identity;
}

int WriteFileAtomic(const std::string& path, const std::vector<unsigned char>& bytes, CardFileStamp* stamp) {
    std::string directory = directoryOf(path);
    std::string base = baseNameOf(path);
    std::string temp = directory + "/" + base + kTempInfix + std::to_string(::getpid());
    int fault = writeFault.load();
    int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) {
        GetCoreLog()->Error("CardImage: nelze vytvorit docasny soubor %s (errno %d)", temp.c_str(), errno);
        return CoreIoError;
    }
    bool ok;
    if (fault == 1) {
        writeAll(fd, bytes.data(), bytes.size() / 2);
        ok = false;
    } else {
        ok = writeAll(fd, bytes.data(), bytes.size()) && ::fsync(fd) == 0;
    }
    struct stat st;
    if (ok) ok = ::fstat(fd, &st) == 0;
    if (::close(fd) != 0) ok = false;
    if (ok && fault == 2) ok = false;
    if (!ok || ::rename(temp.c_str(), path.c_str()) != 0) {
        int error = errno;
        ::unlink(temp.c_str());
        GetCoreLog()->Error("CardImage: zapis %s selhal (errno %d)", path.c_str(), fault != 0 ? 0 : error);
        return CoreIoError;
    }
    syncDirectory(directory);
    if (stamp != nullptr) {
        *stamp = StatCardFile(path);
        takeDigest(bytes, stamp);
    }
    removeStaleTemporaries(directory, base);
    return CoreOk;
}

int WriteCardImage(const std::string& path, CardImage& image, CardFileStamp* stamp) {
    if (image.publicOnly) {
        GetCoreLog()->Error("CardImage: verejny obraz karty nelze zapsat jako kartu (%s)", path.c_str());
        return CoreIoError;
    }
    ++image.generation;
    std::vector<unsigned char> bytes = image.Serialise();
    int rc = WriteFileAtomic(path, bytes, stamp);
    if (!bytes.empty()) OPENSSL_cleanse(bytes.data(), bytes.size());
    if (rc != CoreOk) --image.generation;
    return rc;
}

int CardFileLock::Lock(const std::string& imagePath) {
    if (held_) return CoreOk;
    std::string lockPath = imagePath + ".lock";
    queueReadUnderLock_ = false;
    if (fd_ >= 0 && lockPath == path_) {
        // The kept descriptor still names the lock file when the directory stayed quiet up
        // to now, with the lock taken: a lock file removed or replaced (or a fork, which
        // would share the lock) is an event.
        if (!takeLock()) return CoreIoError;
        if (DirectoryQuiet(mark_, QueueRead::Always)) {
            queueReadUnderLock_ = true;
            return CoreOk;
        }
        Unlock();
    }
    close();
    mark_ = MarkDirectory(directoryOf(lockPath));
    fd_ = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd_ < 0) return CoreIoError;
    path_ = lockPath;
    return takeLock() ? CoreOk : CoreIoError;
}

bool CardFileLock::takeLock() {
    while (::flock(fd_, LOCK_EX) != 0) {
        if (errno == EINTR) continue;
        close();
        return false;
    }
    held_ = true;
    return true;
}

void CardFileLock::Unlock() {
    if (!held_) return;
    ::flock(fd_, LOCK_UN);
    held_ = false;
    if (!mark_.Valid()) close();  // unwatched: its name may change unseen
}

void CardFileLock::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    held_ = false;
    queueReadUnderLock_ = false;
    mark_ = WatchMark();
    path_.clear();
}

void SetCardWriteFaultForTesting(int stage) { writeFault.store(stage); }

}  // namespace Core
}  // namespace Vellumcrest
