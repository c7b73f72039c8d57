#include <openssl/crypto.h>

#include <cstring>

#include "core/Reader.h"

namespace Vellumcrest {
namespace Core {

namespace {
// Room reserved once, so that the PIN is never copied by a reallocation.
constexpr unsigned long kPinCacheRoom = 64;
}  // namespace

PinCache::~PinCache() { Clear(); }

void PinCache::KeepUnsealedKey(uint32_t recordId, const std::vector<unsigned char>& sealedForm, EVP_PKEY* key) {
    std::lock_guard<std::mutex> guard(mutex_);
    if (!pin_.empty()) unsealed_.Keep(recordId, sealedForm, key);
}

int PinCache::Read(unsigned char* buffer, unsigned long* length) {
    if (length == nullptr) return CoreInvalidArgument;
    std::lock_guard<std::mutex> guard(mutex_);
    if (pin_.empty()) return CoreNotFound;
    if (buffer == nullptr || *length < pin_.size()) {
        *length = pin_.size();
        return CoreBufferTooSmall;
    }
    std::memcpy(buffer, pin_.data(), pin_.size());
    *length = pin_.size();
    return CoreOk;
}

int PinCache::Write(const unsigned char* pin, unsigned long length) {
    if (pin == nullptr || length == 0 || length > kPinCacheRoom) return CoreInvalidArgument;
    std::lock_guard<std::mutex> guard(mutex_);
    if (!pin_.empty()) OPENSSL_cleanse(pin_.data(), pin_.size());
    if (pin_.capacity() < kPinCacheRoom) {
        std::vector<unsigned char> room;
        room.reserve(kPinCacheRoom);
        pin_.swap(room);
    }
    pin_.assign(pin, pin + length);
    unsealed_.Wipe();
    return CoreOk;
}

void PinCache::Clear() {
    std::lock_guard<std::mutex> guard(mutex_);
    if (!pin_.empty()) OPENSSL_cleanse(pin_.data(), pin_.size());
    pin_.clear();
    unsealed_.Wipe();
}

}  // namespace Core
}  // namespace Vellumcrest
