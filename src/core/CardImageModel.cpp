// Card image model: identity, identifiers, memory accounting and record look-ups.
#include <cstdio>

#include "core/CardImage.h"
#include "core/OrvoString.h"

namespace Vellumcrest {
namespace Core {

std::string CardImage::Identity() const {
    char serial[24];
    std::snprintf(serial, sizeof serial, "%016llx", static_cast<unsigned long long>(insertionSerial));
    return cardId + "#" + serial;
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

ImageCertificate* CardImage::FindCertificate(uint32_t recordId) {
    for (auto& item : certificates)
        if (item->record.recordId == recordId) return item.get();
    return nullptr;
}

ImagePublicKey* CardImage::FindPublicKey(uint32_t recordId) {
    for (auto& item : publicKeys)
        if (item->record.recordId == recordId) return item.get();
    return nullptr;
}

ImagePrivateKey* CardImage::FindPrivateKey(uint32_t recordId) {
    for (auto& item : privateKeys)
        if (item->record.recordId == recordId) return item.get();
    return nullptr;
}

ImageFile* CardImage::FindFile(uint32_t recordId) {
    for (auto& item : files)
        if (item->record.recordId == recordId) return item.get();
    return nullptr;
}

namespace {
size_t commonSize(const CardCommonAttribute& common) { return common.GetLabel().size() + common.GetId().size(); }
}  // namespace

size_t StoredSize(const ImageContainer& item) { return OrvoStringWToUtf8(item.record.name).size(); }
size_t StoredSize(const ImageCertificate& item) { return item.der.size() + commonSize(item.record.common); }
size_t StoredSize(const ImagePublicKey& item) {
    return item.modulus.size() + item.exponent.size() + commonSize(item.record.common);
}
size_t StoredSize(const ImagePrivateKey& item) {
    return item.wrappedDataKey.size() + item.sealedKey.size() + commonSize(item.record.common);
}
size_t StoredSize(const ImageFile& item) {
    return item.data.size() + OrvoStringWToUtf8(item.record.name).size() + commonSize(item.record.common);
}

}  // namespace Core
}  // namespace Vellumcrest
