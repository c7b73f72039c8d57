// Content operations on a card image, shared by the reader/card pairs and the card tool.
#include <openssl/x509.h>

#include <cstdio>

#include "core/CardImage.h"

namespace Vellumcrest {
namespace Core {
namespace CardContent {

namespace {

std::string keyAad(const CardImage& image, uint32_t recordId, const char* what) {
    return std::string(what) + "|" + image.cardId + "|" + std::to_string(recordId);
}

// The image bounds (CardImage.h) hold for what is written, so every written image parses.
bool roomForRecords(const CardImage& image, size_t count) {
    size_t records = image.certificates.size() + image.publicKeys.size() + image.privateKeys.size() + image.files.size();
    return records + count <= kCardMaxRecords;
}

bool fits(const CardImage& image, size_t needed) {
    long free = image.FreeMemory();
    return free >= 0 && static_cast<unsigned long>(free) >= needed;
}

template <typename T>
std::unique_ptr<T> takeById(std::vector<std::unique_ptr<T>>& items, uint32_t recordId) {
    for (auto it = items.begin(); it != items.end(); ++it) {
        if ((*it)->record.recordId == recordId) {
            std::unique_ptr<T> item = std::move(*it);
            items.erase(it);
            return item;
        }
    }
    return nullptr;
}

}  // namespace

bool IsValidCardId(const std::string& id) {
    if (id.empty() || id.size() > kCardIdMaxLength) return false;
    for (char c : id) {
        bool ok = (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '-' ||
                  c == '_' || c == '.';
        if (!ok) return false;
    }
    return true;
}

bool IsDataContainer(uint32_t containerId) { return containerId == ContainerId_DATA; }

uint32_t CertificateFlags(int kind) {
    switch (kind) {
    case CertificateKindRoot: return CardRecordFlagRoot;
    case CertificateKindClient: return CardRecordFlagClient;
    case CertificateKindPartner: return CardRecordFlagPartner;
    default: return 0;
    }
}

int CreateCard(const CardSettings& settings, std::unique_ptr<CardImage>* result) {
    result->reset();
    if (settings.type < 1 || settings.type > 4 || settings.userTries == 0 || settings.soTries == 0 ||
        settings.totalMemory > 0x7FFFFFFFu || settings.model.size() > kCardModelMaxLength ||
        settings.esignPlaces > kCardMaxEsignPlaces)
        return CoreInvalidArgument;
    auto image = std::make_unique<CardImage>();
    image->cardId = settings.cardId.empty() ? CardCrypto::RandomHex(16, true) : settings.cardId;
    if (!IsValidCardId(image->cardId)) return CoreInvalidArgument;
    image->type = settings.type;
    if (settings.model.empty()) {
        char model[32];
        std::snprintf(model, sizeof model, "Vellumcrest T%d", settings.type);
        image->model = model;
    } else {
        image->model = settings.model;
    }
    image->firmwareMajor = settings.firmwareMajor;
    image->firmwareMinor = settings.firmwareMinor;
    image->totalMemory = settings.totalMemory;
    image->esignPlaces = settings.esignPlaces;
    image->flags = settings.thirdCode ? static_cast<uint32_t>(CardImageFlagThirdCode) : 0u;
    CardPin& user = image->pins[CardAuthIdUser];
    user.present = true;
    user.maxTries = user.triesLeft = settings.userTries;
    CardPin& so = image->pins[CardAuthIdSo];
    so.present = true;
    so.maxTries = so.triesLeft = settings.soTries;
    if (settings.thirdCode) {
        CardPin& third = image->pins[CardAuthIdThird];
        third.present = true;
        third.maxTries = third.triesLeft = settings.userTries;
    }
    std::vector<unsigned char> serial = CardCrypto::RandomVector(8);
    if (serial.size() != 8) return CoreOutOfMemory;
    for (unsigned char b : serial) image->insertionSerial = image->insertionSerial << 8 | b;
    if (!CardCrypto::GenerateStorageKey(&image->storageOpen, &image->storagePublic) ||
        !CardCrypto::GenerateAttestationKey(&image->attestationKey))
        return CoreOutOfMemory;
    *result = std::move(image);
    return CoreOk;
}

int AddContainer(CardImage& image, const std::string& nameUtf8, int type, ImageContainer** container) {
    if (container != nullptr) *container = nullptr;
    if ((type != CardObjectTypeData && type != CardObjectTypeKeyContainer) || nameUtf8.size() > kCardMaxNameSize)
        return CoreInvalidArgument;
    if (!fits(image, nameUtf8.size()) || image.containers.size() >= kCardMaxContainers) return CoreCardMemoryFull;
    uint32_t id = image.NewContainerId();
    if (id == 0) return CoreCardMemoryFull;
    auto item = std::make_unique<ImageContainer>();
    item->record.containerId = id;
    item->record.type = type;
    item->record.name = Utf8ToOrvoStringW(nameUtf8.data(), nameUtf8.size());
    if (container != nullptr) *container = item.get();
    image.containers.push_back(std::move(item));
    return CoreOk;
}

int AddKeyPair(CardImage& image, uint32_t containerId, int keyPairFlags, EVP_PKEY* key, bool imported,
               ImagePrivateKey** privateKey, ImagePublicKey** publicKey) {
    if (privateKey != nullptr) *privateKey = nullptr;
    if (publicKey != nullptr) *publicKey = nullptr;
    if (key == nullptr || IsDataContainer(containerId) || image.FindContainer(containerId) == nullptr)
        return CoreInvalidArgument;
    size_t size = CardCrypto::RsaSize(key);
    if (size != 128 && size != 256) return CoreInvalidArgument;
    if ((keyPairFlags & KeyPairFlagEsign) != 0 &&
        (image.type != 4 || image.EsignKeysInUse() >= static_cast<long>(image.esignPlaces)))
        return CoreNoFreeKeyPlace;
    if (image.storagePublic.size() != CardCrypto::kKeySize) return CoreNotSupported;
    int flags = size == 256 ? (keyPairFlags | KeyPairFlag2048) : (keyPairFlags & ~KeyPairFlag2048);

    auto pub = std::make_unique<ImagePublicKey>();
    auto priv = std::make_unique<ImagePrivateKey>();
    SecureBytes der, dataKey(CardCrypto::kKeySize);
    if (!CardCrypto::RsaComponents(key, &pub->modulus, &pub->exponent) || !CardCrypto::PrivateKeyToDer(key, &der) ||
        !CardCrypto::RandomBytes(dataKey.data(), dataKey.size()))
        return CoreOutOfMemory;
    // Sizes are known before the record identifiers are taken.
    size_t sealedSize = der.size() + CardCrypto::kSealOverhead;
    size_t wrappedSize = CardCrypto::kKeySize + CardCrypto::kKeySize + CardCrypto::kSealOverhead;
    if (!fits(image, pub->modulus.size() + pub->exponent.size() + sealedSize + wrappedSize) ||
        !roomForRecords(image, 2))
        return CoreCardMemoryFull;
    uint32_t privateId = image.NewRecordId();
    uint32_t publicId = image.NewRecordId();
    if (privateId == 0 || publicId == 0) return CoreCardMemoryFull;
    if (!CardCrypto::Seal(dataKey.data(), der.data(), der.size(), keyAad(image, privateId, "key"), &priv->sealedKey) ||
        !CardCrypto::WrapToStorage(image.storagePublic, dataKey, keyAad(image, privateId, "datakey"),
                                   &priv->wrappedDataKey))
        return CoreOutOfMemory;

    uint32_t recordFlags = imported ? static_cast<uint32_t>(CardRecordFlagImported) : 0u;
    priv->record.recordId = privateId;
    priv->record.containerId = containerId;
    priv->record.flags = recordFlags;
    priv->record.keyPairFlags = flags;
    priv->record.authId = CardAuthIdUser;
    priv->record.signatureLength = size;
    priv->publicRecordId = publicId;
    pub->record.recordId = publicId;
    pub->record.containerId = containerId;
    pub->record.flags = recordFlags;
    pub->record.keyPairFlags = flags;
    if (privateKey != nullptr) *privateKey = priv.get();
    if (publicKey != nullptr) *publicKey = pub.get();
    image.privateKeys.push_back(std::move(priv));
    image.publicKeys.push_back(std::move(pub));
    return CoreOk;
}

PkeyPtr UnsealPrivateKey(const CardImage& image, const ImagePrivateKey& key, const SecureBytes& storagePrivate) {
    SecureBytes dataKey, der;
    if (!CardCrypto::UnwrapWithStorage(storagePrivate, image.storagePublic, key.wrappedDataKey,
                                       keyAad(image, key.record.recordId, "datakey"), &dataKey) ||
        dataKey.size() != CardCrypto::kKeySize)
        return nullptr;
    if (!CardCrypto::Open(dataKey.data(), key.sealedKey, keyAad(image, key.record.recordId, "key"), &der))
        return nullptr;
    return CardCrypto::PrivateKeyFromDer(der);
}

int AddCertificate(CardImage& image, uint32_t containerId, int kind, const unsigned char* der, size_t size,
                   ImageCertificate** certificate) {
    if (certificate != nullptr) *certificate = nullptr;
    if (der == nullptr || size == 0 || kind < CertificateKindRoot || kind > CertificateKindPartner)
        return CoreInvalidArgument;
    const unsigned char* cursor = der;
    X509* parsed = d2i_X509(nullptr, &cursor, static_cast<long>(size));
    bool wellFormed = parsed != nullptr && cursor == der + size;
    X509_free(parsed);
    if (!wellFormed) return CoreInvalidArgument;
    if (containerId != 0 && (IsDataContainer(containerId) || image.FindContainer(containerId) == nullptr))
        return CoreInvalidArgument;
    if (!fits(image, size) || size > kCardMaxCertificateSize || !roomForRecords(image, 1)) return CoreCardMemoryFull;
    // The identifier first: a failure then leaves no container without its certificate.
    uint32_t id = image.NewRecordId();
    if (id == 0) return CoreCardMemoryFull;
    if (containerId == 0) {
        ImageContainer* container = nullptr;
        int rc = AddContainer(image, std::string(), CardObjectTypeKeyContainer, &container);
        if (rc != CoreOk) return rc;
        containerId = container->record.containerId;
    }
    auto item = std::make_unique<ImageCertificate>();
    item->record.recordId = id;
    item->record.containerId = containerId;
    item->record.kind = kind;
    item->record.flags = CertificateFlags(kind);
    item->der.assign(der, der + size);
    if (certificate != nullptr) *certificate = item.get();
    image.certificates.push_back(std::move(item));
    return CoreOk;
}

int AddFile(CardImage& image, uint32_t containerId, const std::string& nameUtf8, uint32_t flags,
            const unsigned char* data, size_t size, ImageFile** file) {
    if (file != nullptr) *file = nullptr;
    if ((data == nullptr && size != 0) || nameUtf8.size() > kCardMaxNameSize) return CoreInvalidArgument;
    if (!IsDataContainer(containerId) && image.FindContainer(containerId) == nullptr) return CoreInvalidArgument;
    if (!fits(image, size + nameUtf8.size()) || !roomForRecords(image, 1)) return CoreCardMemoryFull;
    uint32_t id = image.NewRecordId();
    if (id == 0) return CoreCardMemoryFull;
    auto item = std::make_unique<ImageFile>();
    item->record.recordId = id;
    item->record.containerId = containerId;
    item->record.flags = flags;
    item->record.name = Utf8ToOrvoStringW(nameUtf8.data(), nameUtf8.size());
    if (size > 0) item->data.assign(data, data + size);
    if (file != nullptr) *file = item.get();
    image.files.push_back(std::move(item));
    return CoreOk;
}

std::unique_ptr<ImageCertificate> TakeCertificate(CardImage& image, uint32_t recordId) {
    return takeById(image.certificates, recordId);
}
std::unique_ptr<ImagePublicKey> TakePublicKey(CardImage& image, uint32_t recordId) {
    return takeById(image.publicKeys, recordId);
}
std::unique_ptr<ImagePrivateKey> TakePrivateKey(CardImage& image, uint32_t recordId) {
    return takeById(image.privateKeys, recordId);
}
std::unique_ptr<ImageFile> TakeFile(CardImage& image, uint32_t recordId) { return takeById(image.files, recordId); }

std::unique_ptr<ImageContainer> TakeContainer(CardImage& image, uint32_t containerId) {
    for (auto it = image.containers.begin(); it != image.containers.end(); ++it) {
        if ((*it)->record.containerId == containerId) {
            std::unique_ptr<ImageContainer> item = std::move(*it);
            image.containers.erase(it);
            return item;
        }
    }
    return nullptr;
}

int CountInContainer(const CardImage& image, uint32_t containerId) {
    int count = 0;
    for (const auto& item : image.certificates) count += item->record.containerId == containerId;
    for (const auto& item : image.publicKeys) count += item->record.containerId == containerId;
    for (const auto& item : image.privateKeys) count += item->record.containerId == containerId;
    for (const auto& item : image.files) count += item->record.containerId == containerId;
    return count;
}

}  // namespace CardContent
}  // namespace Core
}  // namespace Vellumcrest
