// Binary form of the card image: a fixed header (magic, format version, body
// length, SHA-256 over header and body) followed by a body of tag-length-value items.
#include "core/CardImage.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <set>
#include <unordered_set>

#include "core/OrvoString.h"

namespace Vellumcrest {
namespace Core {

namespace {

const unsigned char kMagic[8] = {'V', 'C', 'A', 'R', 'D', 'I', 'M', 'G'};
// Public images (secrets left out) have a magic of their own: no reader of card files takes one.
const unsigned char kPublicMagic[8] = {'V', 'C', 'A', 'R', 'D', 'P', 'U', 'B'};
constexpr size_t kHeaderSize = 8 + 4 + 4 + 32;

enum TopTag : uint16_t {
    TagCard = 0x0001,
    TagPin = 0x0002,
    TagStorage = 0x0003,
    TagAttestation = 0x0004,
    TagContainer = 0x0010,
    TagCertificate = 0x0011,
    TagPublicKey = 0x0012,
    TagPrivateKey = 0x0013,
    TagFile = 0x0014,
};

// Field of a private key in a public image: the bytes of its left-out keys.
constexpr uint16_t kPrivateSecretSize = 7;

// Fields shared by the record items.
enum CommonTag : uint16_t {
    TagRecordId = 0x20,
    TagContainerId = 0x21,
    TagFlags = 0x22,
    TagLabel = 0x23,
    TagId = 0x24,
};

void putU32(std::vector<unsigned char>& out, uint32_t value) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<unsigned char>(value >> (8 * i)));
}

uint32_t getU32(const unsigned char* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}

class TlvWriter {
public:
    void Bytes(uint16_t tag, const unsigned char* data, size_t size) {
        out_.push_back(static_cast<unsigned char>(tag));
        out_.push_back(static_cast<unsigned char>(tag >> 8));
        putU32(out_, static_cast<uint32_t>(size));
        if (size > 0) out_.insert(out_.end(), data, data + size);
    }
    void Bytes(uint16_t tag, const std::vector<unsigned char>& data) { Bytes(tag, data.data(), data.size()); }
    void Text(uint16_t tag, const std::string& text) {
        Bytes(tag, reinterpret_cast<const unsigned char*>(text.data()), text.size());
    }
    void U8(uint16_t tag, unsigned value) {
        unsigned char byte = static_cast<unsigned char>(value);
        Bytes(tag, &byte, 1);
    }
    void U32(uint16_t tag, uint32_t value) {
        std::vector<unsigned char> bytes;
        putU32(bytes, value);
        Bytes(tag, bytes);
    }
    void U64(uint16_t tag, uint64_t value) {
        std::vector<unsigned char> bytes;
        putU32(bytes, static_cast<uint32_t>(value));
        putU32(bytes, static_cast<uint32_t>(value >> 32));
        Bytes(tag, bytes);
    }
    void Nested(uint16_t tag, const TlvWriter& inner) { Bytes(tag, inner.out_); }
    void Common(uint32_t recordId, uint32_t containerId, uint32_t flags, const CardCommonAttribute& common) {
        U32(TagRecordId, recordId);
        U32(TagContainerId, containerId);
        U32(TagFlags, flags);
        if (common.HasLabel()) Text(TagLabel, common.GetLabel());
        if (common.HasId()) Bytes(TagId, common.GetId());
    }
    const std::vector<unsigned char>& Data() const { return out_; }

private:
    std::vector<unsigned char> out_;
};

struct Field {
    uint16_t tag = 0;
    const unsigned char* data = nullptr;
    size_t size = 0;

    bool AsU8(uint8_t* value) const {
        if (size != 1) return false;
        *value = data[0];
        return true;
    }
    bool AsU32(uint32_t* value) const {
        if (size != 4) return false;
        *value = getU32(data);
        return true;
    }
    bool AsU64(uint64_t* value) const {
        if (size != 8) return false;
        *value = static_cast<uint64_t>(getU32(data)) | static_cast<uint64_t>(getU32(data + 4)) << 32;
        return true;
    }
    std::string AsText() const { return std::string(reinterpret_cast<const char*>(data), size); }
    std::vector<unsigned char> AsBytes() const { return std::vector<unsigned char>(data, data + size); }
};

// Splits a byte range into items; false when an item runs past the end or there are more
// than maxCount of them.
bool splitItems(const unsigned char* data, size_t size, std::vector<Field>* fields,
                size_t maxCount = kCardMaxItemFields) {
    size_t offset = 0;
    while (offset < size) {
        if (size - offset < 6 || fields->size() >= maxCount) return false;
        Field field;
        field.tag = static_cast<uint16_t>(data[offset] | data[offset + 1] << 8);
        size_t length = getU32(data + offset + 2);
        offset += 6;
        if (length > size - offset) return false;
        field.data = data + offset;
        field.size = length;
        offset += length;
        fields->push_back(field);
    }
    return true;
}

// What the parser keeps beside the image: the container identifiers for linear look-ups.
struct ParseState {
    CardImage* image;
    std::unordered_set<uint32_t> containerIds;
    size_t records = 0;
    bool publicForm = false;

    bool AddRecord() { return ++records <= kCardMaxRecords; }
};

struct CommonFields {
    uint32_t recordId = 0;
    uint32_t containerId = 0;
    uint32_t flags = 0;
    bool hasRecordId = false;
    bool hasContainerId = false;
    CardCommonAttribute common;
};

// Reads a common field; *handled false for other tags. false on a malformed value.
bool readCommon(const Field& field, CommonFields* out, bool* handled) {
    *handled = true;
    switch (field.tag) {
    case TagRecordId:
        out->hasRecordId = true;
        return field.AsU32(&out->recordId);
    case TagContainerId:
        out->hasContainerId = true;
        return field.AsU32(&out->containerId);
    case TagFlags:
        return field.AsU32(&out->flags);
    case TagLabel:
        return out->common.SetLabelUtf8(reinterpret_cast<const char*>(field.data), field.size);
    case TagId:
        return out->common.SetId(field.data, field.size);
    default:
        *handled = false;
        return true;
    }
}

bool parseCard(const Field& item, CardImage* image) {
    std::vector<Field> fields;
    if (!splitItems(item.data, item.size, &fields)) return false;
    bool hasId = false, hasType = false, hasNext = false;
    for (const Field& f : fields) {
        uint8_t byte = 0;
        bool ok = true;
        switch (f.tag) {
        case 1: image->cardId = f.AsText(); hasId = true; break;
        case 2: ok = f.AsU8(&byte); image->type = byte; hasType = true; break;
        case 3: image->model = f.AsText(); ok = image->model.size() <= kCardModelMaxLength; break;
        case 4:
            ok = f.size == 2;
            if (ok) {
                image->firmwareMajor = f.data[0];
                image->firmwareMinor = f.data[1];
            }
            break;
        case 5: ok = f.AsU32(&image->flags); break;
        case 6: ok = f.AsU32(&image->totalMemory); break;
        case 7: ok = f.AsU32(&image->esignPlaces); break;
        case 8: ok = f.AsU64(&image->insertionSerial); break;
        case 9: ok = f.AsU64(&image->generation); break;
        case 10: ok = f.AsU32(&image->nextRecordId); hasNext = true; break;
        case 11: ok = f.AsU32(&image->nextContainerId); break;
        default: break;
        }
        if (!ok) return false;
    }
    return hasId && hasType && hasNext && CardContent::IsValidCardId(image->cardId) && image->type >= 1 &&
           image->type <= 4 && image->totalMemory <= 0x7FFFFFFFu && image->esignPlaces <= kCardMaxEsignPlaces &&
           image->model.find('\0') == std::string::npos;
}

bool parsePin(const Field& item, CardImage* image, bool publicForm) {
    std::vector<Field> fields;
    if (!splitItems(item.data, item.size, &fields)) return false;
    CardPin pin;
    uint8_t authId = 0, state = 0;
    for (const Field& f : fields) {
        bool ok = true;
        switch (f.tag) {
        case 1: ok = f.AsU8(&authId); break;
        case 2: ok = f.AsU8(&state); break;
        case 3: ok = f.AsU8(&pin.maxTries); break;
        case 4: ok = f.AsU8(&pin.triesLeft); break;
        case 5: ok = f.AsU8(&pin.minLength); break;
        case 6: ok = f.AsU8(&pin.maxLength); break;
        case 7: ok = f.AsU32(&pin.iterations); break;
        case 8: pin.salt = f.AsBytes(); break;
        case 9: pin.verifier = f.AsBytes(); break;
        case 10: pin.storageWrap = f.AsBytes(); break;
        default: break;
        }
        if (!ok) return false;
    }
    if (authId < 1 || authId > 3 || image->pins[authId].present) return false;
    pin.present = true;
    pin.initialised = (state & 1) != 0;
    if (publicForm) {
        if (!pin.salt.empty() || !pin.verifier.empty() || !pin.storageWrap.empty() || pin.maxTries == 0 ||
            pin.triesLeft > pin.maxTries || pin.minLength == 0 || pin.minLength > pin.maxLength || pin.maxLength > 64)
            return false;
        image->pins[authId] = pin;
        return true;
    }
    if (pin.maxTries == 0 || pin.triesLeft > pin.maxTries || pin.minLength == 0 || pin.minLength > pin.maxLength ||
        pin.maxLength > 64)
        return false;
    if (pin.initialised && (pin.iterations == 0 || pin.iterations > kCardMaxPinIterations ||
                            pin.salt.size() != CardCrypto::kSaltSize ||
                            pin.verifier.size() != CardCrypto::kKeySize))
        return false;
    if (!pin.storageWrap.empty() && pin.storageWrap.size() != CardCrypto::kKeySize + CardCrypto::kSealOverhead)
        return false;
    image->pins[authId] = pin;
    return true;
}

bool parseStorage(const Field& item, CardImage* image, bool publicForm) {
    std::vector<Field> fields;
    if (!splitItems(item.data, item.size, &fields)) return false;
    for (const Field& f : fields) {
        if (f.tag == 1) image->storagePublic = f.AsBytes();
        if (f.tag == 2) image->storageOpen.assign(f.data, f.size);
    }
    return image->storagePublic.size() == CardCrypto::kKeySize &&
           (image->storageOpen.empty() || (!publicForm && image->storageOpen.size() == CardCrypto::kKeySize));
}

bool parseAttestation(const Field& item, CardImage* image) {
    std::vector<Field> fields;
    if (!splitItems(item.data, item.size, &fields)) return false;
    for (const Field& f : fields)
        if (f.tag == 1) image->attestationKey.assign(f.data, f.size);
    return !image->attestationKey.empty() && image->attestationKey.size() <= kCardMaxAttestationKeySize;
}

bool parseContainer(const Field& item, ParseState* state) {
    CardImage* image = state->image;
    if (image->containers.size() >= kCardMaxContainers) return false;
    std::vector<Field> fields;
    if (!splitItems(item.data, item.size, &fields)) return false;
    auto container = std::make_unique<ImageContainer>();
    bool hasId = false;
    uint8_t type = 1;
    for (const Field& f : fields) {
        bool ok = true;
        if (f.tag == 1) ok = hasId = f.AsU32(&container->record.containerId);
        if (f.tag == 2) ok = f.AsU8(&type);
        if (f.tag == 3) {
            if (f.size > kCardMaxNameSize) return false;
            container->record.name = Utf8ToOrvoStringW(reinterpret_cast<const char*>(f.data), f.size);
        }
        if (!ok) return false;
    }
    container->record.type = type;
    if (!hasId || container->record.containerId == 0 || CardContent::IsDataContainer(container->record.containerId) ||
        type > CardObjectTypeKeyContainer || !state->containerIds.insert(container->record.containerId).second)
        return false;
    image->containers.push_back(std::move(container));
    return true;
}

bool parseCertificate(const Field& item, ParseState* state) {
    CardImage* image = state->image;
    if (!state->AddRecord()) return false;
    std::vector<Field> fields;
    if (!splitItems(item.data, item.size, &fields)) return false;
    auto cert = std::make_unique<ImageCertificate>();
    CommonFields common;
    uint8_t kind = 0;
    for (const Field& f : fields) {
        bool handled = false;
        if (!readCommon(f, &common, &handled)) return false;
        if (handled) continue;
        if (f.tag == 1 && !f.AsU8(&kind)) return false;
        if (f.tag == 2) cert->der = f.AsBytes();
    }
    if (!common.hasRecordId || !common.hasContainerId || kind < CertificateKindRoot || kind > CertificateKindPartner ||
        cert->der.empty() || cert->der.size() > kCardMaxCertificateSize)
        return false;
    cert->record.recordId = common.recordId;
    cert->record.containerId = common.containerId;
    cert->record.flags = common.flags;
    cert->record.kind = kind;
    cert->record.common = common.common;
    image->certificates.push_back(std::move(cert));
    return true;
}

bool parsePublicKey(const Field& item, ParseState* state) {
    CardImage* image = state->image;
    if (!state->AddRecord()) return false;
    std::vector<Field> fields;
    if (!splitItems(item.data, item.size, &fields)) return false;
    auto key = std::make_unique<ImagePublicKey>();
    CommonFields common;
    uint32_t keyPairFlags = 0;
    for (const Field& f : fields) {
        bool handled = false;
        if (!readCommon(f, &common, &handled)) return false;
        if (handled) continue;
        if (f.tag == 1 && !f.AsU32(&keyPairFlags)) return false;
        if (f.tag == 2) key->modulus = f.AsBytes();
        if (f.tag == 3) key->exponent = f.AsBytes();
    }
    if (!common.hasRecordId || !common.hasContainerId || key->modulus.empty() || key->exponent.empty() ||
        key->modulus.size() > kCardMaxModulusSize || key->exponent.size() > kCardMaxExponentSize)
        return false;
    key->record.recordId = common.recordId;
    key->record.containerId = common.containerId;
    key->record.flags = common.flags;
    key->record.keyPairFlags = static_cast<int>(keyPairFlags);
    key->record.common = common.common;
    image->publicKeys.push_back(std::move(key));
    return true;
}

bool parsePrivateKey(const Field& item, ParseState* state) {
    CardImage* image = state->image;
    if (!state->AddRecord()) return false;
    std::vector<Field> fields;
    if (!splitItems(item.data, item.size, &fields)) return false;
    auto key = std::make_unique<ImagePrivateKey>();
    CommonFields common;
    uint32_t keyPairFlags = 0, signatureLength = 0, secretSize = 0;
    uint8_t authId = CardAuthIdUser;
    for (const Field& f : fields) {
        bool handled = false;
        if (!readCommon(f, &common, &handled)) return false;
        if (handled) continue;
        bool ok = true;
        switch (f.tag) {
        case 1: ok = f.AsU32(&keyPairFlags); break;
        case 2: ok = f.AsU8(&authId); break;
        case 3: ok = f.AsU32(&signatureLength); break;
        case 4: ok = f.AsU32(&key->publicRecordId); break;
        case 5: key->wrappedDataKey = f.AsBytes(); break;
        case 6: key->sealedKey = f.AsBytes(); break;
        case kPrivateSecretSize:
            if (state->publicForm) ok = f.AsU32(&secretSize);
            break;
        default: break;
        }
        if (!ok) return false;
    }
    if (!common.hasRecordId || !common.hasContainerId || authId < 1 || authId > 3 ||
        (signatureLength != 128 && signatureLength != 256))
        return false;
    if (state->publicForm) {
        if (!key->wrappedDataKey.empty() || !key->sealedKey.empty() ||
            secretSize > kCardMaxWrappedKeySize + kCardMaxSealedKeySize)
            return false;
        key->secretSize = secretSize;
    } else if (key->wrappedDataKey.empty() || key->sealedKey.empty() ||
               key->wrappedDataKey.size() > kCardMaxWrappedKeySize || key->sealedKey.size() > kCardMaxSealedKeySize) {
        return false;
    }
    key->record.recordId = common.recordId;
    key->record.containerId = common.containerId;
    key->record.flags = common.flags;
    key->record.keyPairFlags = static_cast<int>(keyPairFlags);
    key->record.authId = authId;
    key->record.signatureLength = signatureLength;
    key->record.common = common.common;
    image->privateKeys.push_back(std::move(key));
    return true;
}

bool parseFile(const Field& item, ParseState* state) {
    CardImage* image = state->image;
    if (!state->AddRecord()) return false;
    std::vector<Field> fields;
    if (!splitItems(item.data, item.size, &fields)) return false;
    auto file = std::make_unique<ImageFile>();
    CommonFields common;
    for (const Field& f : fields) {
        bool handled = false;
        if (!readCommon(f, &common, &handled)) return false;
        if (handled) continue;
        if (f.tag == 1) {
            if (f.size > kCardMaxNameSize) return false;
            file->record.name = Utf8ToOrvoStringW(reinterpret_cast<const char*>(f.data), f.size);
        }
        if (f.tag == 2) file->data = f.AsBytes();
    }
    if (!common.hasRecordId || !common.hasContainerId) return false;
    file->record.recordId = common.recordId;
    file->record.containerId = common.containerId;
    file->record.flags = common.flags;
    file->record.common = common.common;
    image->files.push_back(std::move(file));
    return true;
}

// Cross-checks of a parsed image: unique record identifiers below the next one, every
// record in a known container.
bool consistent(const ParseState& state) {
    CardImage* image = state.image;
    if (!image->pins[CardAuthIdUser].present || !image->pins[CardAuthIdSo].present) return false;
    if (image->storagePublic.empty() || (image->attestationKey.empty() != state.publicForm)) return false;
    std::unordered_set<uint32_t> ids;
    ids.reserve(state.records);
    auto check = [&](uint32_t recordId, uint32_t containerId) {
        if (recordId == 0 || recordId >= image->nextRecordId || !ids.insert(recordId).second) return false;
        return CardContent::IsDataContainer(containerId) || state.containerIds.count(containerId) != 0;
    };
    for (const auto& c : image->containers)
        if (c->record.containerId >= image->nextContainerId && image->nextContainerId != 0) return false;
    for (const auto& item : image->certificates)
        if (!check(item->record.recordId, item->record.containerId)) return false;
    for (const auto& item : image->publicKeys)
        if (!check(item->record.recordId, item->record.containerId)) return false;
    for (const auto& item : image->privateKeys)
        if (!check(item->record.recordId, item->record.containerId)) return false;
    for (const auto& item : image->files)
        if (!check(item->record.recordId, item->record.containerId)) return false;
    return true;
}

}  // namespace

CardImage::CardImage() = default;
CardImage::~CardImage() = default;

std::vector<unsigned char> CardImage::Serialise() const { return serialise(publicOnly); }

std::vector<unsigned char> CardImage::SerialisePublic() const { return serialise(true); }

std::vector<unsigned char> CardImage::serialise(bool publicForm) const {
    TlvWriter body;
    {
        TlvWriter card;
        card.Text(1, cardId);
        card.U8(2, static_cast<unsigned>(type));
        card.Text(3, model);
        unsigned char firmware[2] = {firmwareMajor, firmwareMinor};
        card.Bytes(4, firmware, 2);
        card.U32(5, flags);
        card.U32(6, totalMemory);
        card.U32(7, esignPlaces);
        card.U64(8, insertionSerial);
        card.U64(9, generation);
        card.U32(10, nextRecordId);
        card.U32(11, nextContainerId);
        body.Nested(TagCard, card);
    }
    for (int authId = 1; authId <= 3; ++authId) {
        const CardPin& pin = pins[authId];
        if (!pin.present) continue;
        TlvWriter w;
        w.U8(1, static_cast<unsigned>(authId));
        w.U8(2, pin.initialised ? 1 : 0);
        w.U8(3, pin.maxTries);
        w.U8(4, pin.triesLeft);
        w.U8(5, pin.minLength);
        w.U8(6, pin.maxLength);
        if (pin.initialised && !publicForm) {
            w.U32(7, pin.iterations);
            w.Bytes(8, pin.salt);
            w.Bytes(9, pin.verifier);
        }
        if (!pin.storageWrap.empty() && !publicForm) w.Bytes(10, pin.storageWrap);
        body.Nested(TagPin, w);
    }
    {
        TlvWriter w;
        w.Bytes(1, storagePublic);
        if (!storageOpen.empty() && !publicForm) w.Bytes(2, storageOpen.data(), storageOpen.size());
        body.Nested(TagStorage, w);
    }
    if (!publicForm) {
        TlvWriter w;
        w.Bytes(1, attestationKey.data(), attestationKey.size());
        body.Nested(TagAttestation, w);
    }
    for (const auto& c : containers) {
        TlvWriter w;
        w.U32(1, c->record.containerId);
        w.U8(2, static_cast<unsigned>(c->record.type));
        w.Text(3, OrvoStringWToUtf8(c->record.name));
        body.Nested(TagContainer, w);
    }
    for (const auto& item : certificates) {
        TlvWriter w;
        w.Common(item->record.recordId, item->record.containerId, item->record.flags, item->record.common);
        w.U8(1, static_cast<unsigned>(item->record.kind));
        w.Bytes(2, item->der);
        body.Nested(TagCertificate, w);
    }
    for (const auto& item : publicKeys) {
        TlvWriter w;
        w.Common(item->record.recordId, item->record.containerId, item->record.flags, item->record.common);
        w.U32(1, static_cast<uint32_t>(item->record.keyPairFlags));
        w.Bytes(2, item->modulus);
        w.Bytes(3, item->exponent);
        body.Nested(TagPublicKey, w);
    }
    for (const auto& item : privateKeys) {
        TlvWriter w;
        w.Common(item->record.recordId, item->record.containerId, item->record.flags, item->record.common);
        w.U32(1, static_cast<uint32_t>(item->record.keyPairFlags));
        w.U8(2, static_cast<unsigned>(item->record.authId));
        w.U32(3, static_cast<uint32_t>(item->record.signatureLength));
        w.U32(4, item->publicRecordId);
        if (publicForm) {
            w.U32(kPrivateSecretSize,
                  static_cast<uint32_t>(item->wrappedDataKey.size() + item->sealedKey.size() + item->secretSize));
        } else {
            w.Bytes(5, item->wrappedDataKey);
            w.Bytes(6, item->sealedKey);
        }
        body.Nested(TagPrivateKey, w);
    }
    for (const auto& item : files) {
        TlvWriter w;
        w.Common(item->record.recordId, item->record.containerId, item->record.flags, item->record.common);
        w.Text(1, OrvoStringWToUtf8(item->record.name));
        w.Bytes(2, item->data);
        body.Nested(TagFile, w);
    }

    const std::vector<unsigned char>& bodyBytes = body.Data();
    const unsigned char* magic = publicForm ? kPublicMagic : kMagic;
    std::vector<unsigned char> out(magic, magic + sizeof kMagic);
    putU32(out, kCardImageVersion);
    putU32(out, static_cast<uint32_t>(bodyBytes.size()));
    std::vector<unsigned char> hashed(out);
    hashed.insert(hashed.end(), bodyBytes.begin(), bodyBytes.end());
    std::vector<unsigned char> digest = CardCrypto::Sha256(hashed.data(), hashed.size());
    out.insert(out.end(), digest.begin(), digest.end());
    out.insert(out.end(), bodyBytes.begin(), bodyBytes.end());
    return out;
}

int CardImage::ParsePublic(const unsigned char* data, size_t size, std::unique_ptr<CardImage>* result) {
    result->reset();
    if (data == nullptr || size < kHeaderSize || std::memcmp(data, kPublicMagic, sizeof kPublicMagic) != 0)
        return CoreCardUnsupported;
    return Parse(data, size, result);
}

int CardImage::Parse(const unsigned char* data, size_t size, std::unique_ptr<CardImage>* result) {
    result->reset();
    if (data == nullptr || size < kHeaderSize) return CoreCardUnsupported;
    bool publicForm = std::memcmp(data, kPublicMagic, sizeof kPublicMagic) == 0;
    if (!publicForm && std::memcmp(data, kMagic, sizeof kMagic) != 0) return CoreCardUnsupported;
    if (getU32(data + 8) != kCardImageVersion) return CoreCardUnsupported;
    size_t bodySize = getU32(data + 12);
    if (bodySize != size - kHeaderSize) return CoreCardUnsupported;
    const unsigned char* body = data + kHeaderSize;
    std::vector<unsigned char> hashed(data, data + 16);
    hashed.insert(hashed.end(), body, body + bodySize);
    std::vector<unsigned char> digest = CardCrypto::Sha256(hashed.data(), hashed.size());
    if (digest.size() != 32 || !CardCrypto::Equal(digest.data(), data + 16, 32)) return CoreCardUnsupported;

    std::vector<Field> items;
    if (!splitItems(body, bodySize, &items, kCardMaxItems)) return CoreCardUnsupported;
    auto image = std::make_unique<CardImage>();
    image->publicOnly = publicForm;
    ParseState state{image.get(), {}, 0, publicForm};
    bool hasCard = false;
    // Containers first, so that records can be checked against them.
    for (const Field& item : items) {
        if (item.tag == TagContainer && !parseContainer(item, &state)) return CoreCardUnsupported;
    }
    for (const Field& item : items) {
        bool ok = true;
        switch (item.tag) {
        case TagCard: ok = !hasCard && parseCard(item, image.get()); hasCard = true; break;
        case TagPin: ok = parsePin(item, image.get(), publicForm); break;
        case TagStorage: ok = parseStorage(item, image.get(), publicForm); break;
        case TagAttestation: ok = !publicForm && parseAttestation(item, image.get()); break;
        case TagCertificate: ok = parseCertificate(item, &state); break;
        case TagPublicKey: ok = parsePublicKey(item, &state); break;
        case TagPrivateKey: ok = parsePrivateKey(item, &state); break;
        case TagFile: ok = parseFile(item, &state); break;
        default: break;  // containers done above; unknown items are skipped
        }
        if (!ok) return CoreCardUnsupported;
    }
    if (!hasCard || !consistent(state)) return CoreCardUnsupported;
    *result = std::move(image);
    return CoreOk;
}

}  // namespace Core
}  // namespace Vellumcrest
