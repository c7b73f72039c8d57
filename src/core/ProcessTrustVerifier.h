// Decides whether the calling process is a trusted application. The trusted-applications
// file lists one executable per line as "<sha256 hex>  <absolute path>" (the format of
// sha256sum); blank lines and lines starting with '#' are ignored.
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "core/OrvoString.h"

namespace Vellumcrest {
namespace Core {

class ProcessTrustVerifier {
public:
    virtual ~ProcessTrustVerifier() = default;
    // Replaces the list with the file's entries; false when it cannot be read.
    bool LoadTrustedAppsFile(const orvostd::OrvoString& path);
    // Checks /proc/self/exe (path and SHA-256 of its content) against the list and sets
    // the trusted flag accordingly. Returns the flag.
    bool VerifyTrust();
    bool IsTrusted() const { return trusted_; }

private:
    struct Entry {
        std::string sha256Hex;
        std::string path;
    };
    std::mutex mutex_;
    std::vector<Entry> entries_;
    std::atomic<bool> trusted_{false};
};

ProcessTrustVerifier* GetProcTrustVerifier();

}  // namespace Core
}  // namespace Vellumcrest
