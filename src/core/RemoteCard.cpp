// Module side of our card's APDU set: selection, identity, the public image and the PIN
// commands. Every answer of the card is checked before it is used: a malformed one is an
// error result, never a read past its end.
#include "core/RemoteCard.h"

#include <openssl/crypto.h>

#include <cstdio>

#include "core/CardImage.h"
#include "core/Log.h"
#include "core/RemoteCardWire.h"

namespace Vellumcrest {
namespace Core {

namespace RemoteWire {

void Wipe(Apdu::Bytes* bytes) {
    if (!bytes->empty()) OPENSSL_cleanse(bytes->data(), bytes->size());
    bytes->clear();
}

void AddSecret(Apdu::Bytes* out, unsigned char tag, const unsigned char* value, size_t length) {
    // Room is reserved by the caller: no reallocation leaves a copy of the value behind.
    out->push_back(tag);
    if (length >= 0x100) {
        out->push_back(0x82);
        out->push_back(static_cast<unsigned char>(length >> 8));
    } else if (length >= 0x80) {
        out->push_back(0x81);
    }
    out->push_back(static_cast<unsigned char>(length));
    if (length > 0) out->insert(out->end(), value, value + length);
}

int Send(CardChannel* channel, unsigned char cla, unsigned char ins, unsigned char p1, unsigned char p2,
         const Apdu::Bytes& data, size_t le, Apdu::Response* response) {
    *response = Apdu::Response();
    if (channel == nullptr) return CoreCardNotPresent;
    if (data.size() > Apdu::kMaxCommandData) return CoreInvalidArgument;
    // Parts no longer than a READ BINARY answer fit the frame of every transport.
    std::vector<Apdu::Bytes> parts = Apdu::BuildChain(cla, ins, p1, p2, data, le, Apdu::kReadChunk);
    int rc = CoreOk;
    for (size_t i = 0; i < parts.size() && rc == CoreOk; ++i) {
        rc = channel->Transmit(parts[i], response);
        if (rc == CoreOk && i + 1 < parts.size() && response->sw != Apdu::SwOk) {
            // A refused part ends the chain; its status word is the answer.
            if (Apdu::ResultFor(response->sw) == CoreOk) response->sw = Apdu::SwUnknown;
            break;
        }
    }
    for (Apdu::Bytes& part : parts) Wipe(&part);
    return rc;
}

int Exchange(CardChannel* channel, unsigned char cla, unsigned char ins, unsigned char p1, unsigned char p2,
             const Apdu::Bytes& data, size_t le, Apdu::Bytes* out, int* triesLeft, bool forDecipher) {
    if (out != nullptr) out->clear();
    Apdu::Response response;
    int rc = Send(channel, cla, ins, p1, p2, data, le, &response);
    if (rc == CoreOk) rc = Apdu::ResultFor(response.sw, triesLeft, forDecipher);
    // Data beyond what was asked for is no answer of ours.
    if (rc == CoreOk && response.data.size() > le) rc = Malformed("exchange");
    if (rc == CoreOk && out != nullptr) out->swap(response.data);
    Wipe(&response.data);
    return rc;
}

int Malformed(const char* command) {
    GetCoreLog()->Error("RemoteCard::%s(): karta vratila chybnou odpoved", command);
    return CoreIoError;
}

bool RecordIds(const Apdu::Bytes& data, uint32_t* privateRecord, uint32_t* publicRecord) {
    Apdu::TlvReader reader;
    uint32_t priv = 0, pub = 0;
    if (!reader.Parse(data) || !reader.U32(Apdu::TagPrivateKey, &priv) || !reader.U32(Apdu::TagPublicKey, &pub) ||
        priv == 0 || pub == 0)
        return false;
    *privateRecord = priv;
    *publicRecord = pub;
    return true;
}

bool OneId(const Apdu::Bytes& data, unsigned char tag, uint32_t* id) {
    Apdu::TlvReader reader;
    uint32_t value = 0;
    if (!reader.Parse(data) || !reader.U32(tag, &value) || value == 0) return false;
    *id = value;
    return true;
}

}  // namespace RemoteWire

using RemoteWire::Send;
using RemoteWire::Wipe;

std::string RemoteIdentity::Identity() const {
    // The form of CardImage::Identity.
    char serial[24];
    std::snprintf(serial, sizeof serial, "%016llx", static_cast<unsigned long long>(insertionSerial));
    return cardId + "#" + serial;
}

int RemoteCard::exchange(unsigned char cla, unsigned char ins, unsigned char p1, unsigned char p2,
                         const Apdu::Bytes& data, size_t le, Apdu::Bytes* out, int* triesLeft, bool forDecipher) {
    return RemoteWire::Exchange(channel_, cla, ins, p1, p2, data, le, out, triesLeft, forDecipher);
}

int RemoteCard::Select(RemoteIdentity* identity) {
    if (identity == nullptr) return CoreInvalidArgument;
    Apdu::Response response;
    Apdu::Bytes aid(Apdu::kAid, Apdu::kAid + sizeof Apdu::kAid);
    int rc = Send(channel_, Apdu::ClaIso, Apdu::InsSelect, 0x04, 0x00, aid, 256, &response);
    if (rc != CoreOk) return rc;
    // Any refusal, or an FCI that does not name our application: a foreign card.
    Apdu::TlvReader fci, inner;
    const Apdu::Bytes* template_ = nullptr;
    const Apdu::Bytes* name = nullptr;
    if (response.sw != Apdu::SwOk || !fci.Parse(response.data) || (template_ = fci.Find(Apdu::TagFci)) == nullptr ||
        !inner.Parse(*template_) || (name = inner.Find(Apdu::TagKeyReference)) == nullptr || *name != aid)
        return CoreCardUnsupported;
    rc = ReadIdentity(identity);
    return rc == CoreSCardError || rc == CoreCardNotPresent || rc == CoreOk ? rc : CoreCardUnsupported;
}

int RemoteCard::ReadIdentity(RemoteIdentity* identity) {
    if (identity == nullptr) return CoreInvalidArgument;
    Apdu::Bytes data;
    int rc = exchange(Apdu::ClaIso, Apdu::InsGetData, 0x01, 0x01, {}, 256, &data);
    if (rc != CoreOk) return rc;
    Apdu::TlvReader reader;
    RemoteIdentity read;
    unsigned type = 0;
    const Apdu::Bytes* id = nullptr;
    if (!reader.Parse(data) || (id = reader.Find(Apdu::kIdentityCardId)) == nullptr ||
        !reader.U64(Apdu::kIdentitySerial, &read.insertionSerial) ||
        !reader.U64(Apdu::kIdentityGeneration, &read.generation) || !reader.U8(Apdu::kIdentityCardType, &type) ||
        type < 1 || type > 4)
        return CoreCardUnsupported;
    read.cardId.assign(id->begin(), id->end());
    if (!CardContent::IsValidCardId(read.cardId)) return CoreCardUnsupported;
    read.type = static_cast<int>(type);
    *identity = std::move(read);
    return CoreOk;
}

int RemoteCard::ReadPublicImage(std::unique_ptr<CardImage>* image) {
    if (image == nullptr) return CoreInvalidArgument;
    Apdu::Bytes whole;
    for (;;) {
        Apdu::TlvWriter offset;
        offset.AddU32(Apdu::TagOffset, static_cast<uint32_t>(whole.size()));
        Apdu::Response response;
        int rc = Send(channel_, Apdu::ClaIso, Apdu::InsReadBinaryOdd, Apdu::kPublicImageFile >> 8,
                      Apdu::kPublicImageFile & 0xFF, offset.Data(), Apdu::kReadChunk, &response);
        if (rc == CoreOk) rc = Apdu::ResultFor(response.sw);
        if (rc != CoreOk) return rc;
        const size_t piece = response.data.size();
        // The size of an image is bounded: a card that never ends is a broken one.
        if (piece > Apdu::kReadChunk || piece > kCardImageMaxSize - whole.size()) return CoreCardUnsupported;
        whole.insert(whole.end(), response.data.begin(), response.data.end());
        if (response.sw == Apdu::SwEndOfFile || piece < Apdu::kReadChunk) break;
    }
    std::unique_ptr<CardImage> parsed;
    if (CardImage::ParsePublic(whole.data(), whole.size(), &parsed) != CoreOk) {
        GetCoreLog()->Error("RemoteCard::ReadPublicImage(): obraz karty (%zu B) nelze precist", whole.size());
        return CoreCardUnsupported;
    }
    *image = std::move(parsed);
    return CoreOk;
}

// ---- PIN commands ----------------------------------------------------------------------

namespace {

bool validAuth(int authId) { return authId >= CardAuthIdUser && authId <= CardAuthIdThird; }

unsigned char pinReference(int authId) { return static_cast<unsigned char>(0x80 | authId); }

bool validPin(const unsigned char* pin, unsigned long length) {
    return (pin != nullptr || length == 0) && length <= 0xFFFF;
}

}  // namespace

int RemoteCard::Verify(int authId, const unsigned char* pin, unsigned long length, int* triesLeft) {
    if (!validAuth(authId) || !validPin(pin, length)) return CoreInvalidArgument;
    mayHoldPin_ = true;
    Apdu::Bytes data(pin, pin + length);
    int rc = exchange(Apdu::ClaIso, Apdu::InsVerify, 0x00, pinReference(authId), data, 0, nullptr, triesLeft);
    Wipe(&data);
    return rc;
}

int RemoteCard::ResetSecurityState() {
    if (!mayHoldPin_) return CoreOk;
    int rc = exchange(Apdu::ClaIso, Apdu::InsVerify, 0xFF, 0x00, {}, 0, nullptr);
    if (rc == CoreOk) mayHoldPin_ = false;
    return rc;
}

int RemoteCard::ChangeReferenceData(int authId, const unsigned char* oldPin, unsigned long oldLength,
                                    const unsigned char* newPin, unsigned long newLength) {
    if (!validAuth(authId) || !validPin(oldPin, oldLength) || !validPin(newPin, newLength))
        return CoreInvalidArgument;
    Apdu::Bytes data;
    data.reserve(oldLength + newLength + 8);
    RemoteWire::AddSecret(&data, Apdu::kPinOld, oldPin, oldLength);
    RemoteWire::AddSecret(&data, Apdu::kPinNew, newPin, newLength);
    mayHoldPin_ = true;
    int rc = exchange(Apdu::ClaIso, Apdu::InsChangeReferenceData, 0x00, pinReference(authId), data, 0, nullptr);
    Wipe(&data);
    return rc;
}

int RemoteCard::SetReferenceData(int authId, const unsigned char* pin, unsigned long length) {
    if (!validAuth(authId) || !validPin(pin, length)) return CoreInvalidArgument;
    Apdu::Bytes data;
    data.reserve(length + 4);
    RemoteWire::AddSecret(&data, Apdu::kPinNew, pin, length);
    mayHoldPin_ = true;
    int rc = exchange(Apdu::ClaIso, Apdu::InsChangeReferenceData, 0x01, pinReference(authId), data, 0, nullptr);
    Wipe(&data);
    return rc;
}

int RemoteCard::ResetRetryCounter(int authId, const unsigned char* soPin, unsigned long soLength,
                                  const unsigned char* newPin, unsigned long newLength) {
    if (!validAuth(authId) || !validPin(soPin, soLength) || (newPin != nullptr && !validPin(newPin, newLength)))
        return CoreInvalidArgument;
    Apdu::Bytes data;
    data.reserve(soLength + newLength + 8);
    RemoteWire::AddSecret(&data, Apdu::kPinOld, soPin, soLength);
    if (newPin != nullptr) RemoteWire::AddSecret(&data, Apdu::kPinNew, newPin, newLength);
    mayHoldPin_ = true;
    int rc = exchange(Apdu::ClaIso, Apdu::InsResetRetryCounter, 0x00, pinReference(authId), data, 0, nullptr);
    Wipe(&data);
    return rc;
}

int RemoteCard::DisableVerification(int authId) {
    if (!validAuth(authId)) return CoreInvalidArgument;
    return exchange(Apdu::ClaIso, Apdu::InsDisableVerification, 0x00, pinReference(authId), {}, 0, nullptr);
}

}  // namespace Core
}  // namespace Vellumcrest
