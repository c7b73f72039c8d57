// Card image model: identity, identifiers, memory accounting and record look-ups.
#include <cstdio>
#include <new>
#include <unordered_map>

#include "core/CardImage.h"
#include "core/OrvoString.h"

namespace Vellumcrest {
namespace Core {

namespace {
// Digit i (0: the highest) of the insertion serial in an identity: 16 lower-case hex digits.
char serialDigit(uint64_t serial, int i) { return "0123456789abcdef"[(serial >> (60 - 4 * i)) & 0xF]; }
constexpr int kSerialDigits = 16;
}  // namespace

std::string CardImage::Identity() const {
    std::string identity = cardId + "#";
    for (int i = 0; i < kSerialDigits; ++i) identity += serialDigit(insertionSerial, i);
    return identity;
}

bool CardImage::HasIdentity(const std::string& identity) const {
    const size_t n = cardId.size();
    if (identity.size() != n + 1 + kSerialDigits || identity.compare(0, n, cardId) != 0 || identity[n] != '#')
        return false;
    for (int i = 0; i < kSerialDigits; ++i)
        if (identity[n + 1 + static_cast<size_t>(i)] != serialDigit(insertionSerial, i)) return false;
    return true;
}

uint32_t CardImage::NewRecordId() {
    if (nextRecordId == 0 || nextRecordId == 0xFFFFFFFFu) return 0;
    return nextRecordId++;
}

uint32_t CardImage::NewContainerId() {
    for (;;) {
        if (nextContainerId == 0 || nextContainerId == 0xFFFFFFFFu) return 0;
        uint32_t id = nextContainerId++;
        if (!CardContent::IsDataContainer(id) && FindContainer(id) == nullptr) return id;
    }
}

long CardImage::UsedMemory() const {
    size_t used = 0;
    for (const auto& item : containers) used += StoredSize(*item);
    for (const auto& item : certificates) used += StoredSize(*item);
    for (const auto& item : publicKeys) used += StoredSize(*item);
    for (const auto& item : privateKeys) used += StoredSize(*item);
    for (const auto& item : files) used += StoredSize(*item);
    return static_cast<long>(used);
}

long CardImage::FreeMemory() const { return static_cast<long>(totalMemory) - UsedMemory(); }

int CardImage::EsignKeysInUse() const {
    int count = 0;
    for (const auto& item : privateKeys)
        if ((item->record.keyPairFlags & KeyPairFlagEsign) != 0) ++count;
    return count;
}

CardPin* CardImage::Pin(int authId) {
    return authId >= 1 && authId <= 3 && pins[authId].present ? &pins[authId] : nullptr;
}

const CardPin* CardImage::Pin(int authId) const {
    return authId >= 1 && authId <= 3 && pins[authId].present ? &pins[authId] : nullptr;
}

ImageContainer* CardImage::FindContainer(uint32_t containerId) {
    for (auto& item : containers)
        if (item->record.containerId == containerId) return item.get();
    return nullptr;
}

namespace {
// Look-up through the position index; an index that no longer matches the items (they
// changed since it was built) is built again, so look-ups stay O(1) without every change
// of the vectors having to keep it up to date.
template <typename Item>
Item* findIndexed(std::vector<std::unique_ptr<Item>>& items, std::unordered_map<uint32_t, size_t>& index,
                  uint32_t recordId) {
    for (int attempt = 0; attempt < 2; ++attempt) {
        auto hit = index.find(recordId);
        if (hit != index.end() && hit->second < items.size() && items[hit->second]->record.recordId == recordId)
            return items[hit->second].get();
        if (attempt == 1) break;
        try {
            index.clear();
            for (size_t i = 0; i < items.size(); ++i) index.emplace(items[i]->record.recordId, i);
        } catch (const std::bad_alloc&) {
            index.clear();
            for (auto& item : items)
                if (item->record.recordId == recordId) return item.get();
            return nullptr;
        }
    }
    return nullptr;
}
}  // namespace

ImageCertificate* CardImage::FindCertificate(uint32_t recordId) {
    return findIndexed(certificates, index_.certificates, recordId);
}

ImagePublicKey* CardImage::FindPublicKey(uint32_t recordId) {
    return findIndexed(publicKeys, index_.publicKeys, recordId);
}

ImagePrivateKey* CardImage::FindPrivateKey(uint32_t recordId) {
    return findIndexed(privateKeys, index_.privateKeys, recordId);
}

ImageFile* CardImage::FindFile(uint32_t recordId) { return findIndexed(files, index_.files, recordId); }

namespace {
size_t commonSize(const CardCommonAttribute& common) { return common.GetLabel().size() + common.GetId().size(); }
}  // namespace

size_t StoredSize(const ImageContainer& item) { return OrvoStringWToUtf8(item.record.name).size(); }
size_t StoredSize(const ImageCertificate& item) { return item.der.size() + commonSize(item.record.common); }
size_t StoredSize(const ImagePublicKey& item) {
    return item.modulus.size() + item.exponent.size() + commonSize(item.record.common);
}
size_t StoredSize(const ImagePrivateKey& item) {
    return item.wrappedDataKey.size() + item.sealedKey.size() + item.secretSize + commonSize(item.record.common);
}
size_t StoredSize(const ImageFile& item) {
    return item.data.size() + OrvoStringWToUtf8(item.record.name).size() + commonSize(item.record.common);
}

}  // namespace Core
}  // namespace Vellumcrest
