// APDU and TLV encoding of our card application.
#include "core/CardApdu.h"

#include "core/CoreTypes.h"

namespace Vellumcrest {
namespace Core {
namespace Apdu {

const unsigned char kAid[8] = {0xF0, 0x56, 0x43, 0x52, 0x45, 0x53, 0x54, 0x01};

bool ParseCommand(const unsigned char* apdu, size_t length, Command* command) {
    if (apdu == nullptr || command == nullptr || length < 4) return false;
    Command c;
    c.cla = apdu[0];
    c.ins = apdu[1];
    c.p1 = apdu[2];
    c.p2 = apdu[3];
    const unsigned char* body = apdu + 4;
    size_t rest = length - 4;
    if (rest == 0) {  // case 1
        *command = std::move(c);
        return true;
    }
    if (rest == 1) {  // case 2 short
        c.hasLe = true;
        c.le = body[0] == 0 ? 256 : body[0];
        *command = std::move(c);
        return true;
    }
    if (body[0] != 0) {  // short Lc: case 3 or 4
        size_t lc = body[0];
        if (rest == 1 + lc) {
        } else if (rest == 2 + lc) {
            c.hasLe = true;
            c.le = body[1 + lc] == 0 ? 256 : body[1 + lc];
        } else {
            return false;
        }
        c.data.assign(body + 1, body + 1 + lc);
        *command = std::move(c);
        return true;
    }
    // Extended length: 00 then two bytes.
    if (rest < 3) return false;
    c.extended = true;
    size_t n = (static_cast<size_t>(body[1]) << 8) | body[2];
    if (rest == 3) {  // case 2 extended
        c.hasLe = true;
        c.le = n == 0 ? 65536 : n;
        *command = std::move(c);
        return true;
    }
    if (n == 0) return false;  // an extended Lc of 0 is not allowed
    if (rest == 3 + n) {
    } else if (rest == 5 + n) {
        size_t le = (static_cast<size_t>(body[3 + n]) << 8) | body[4 + n];
        c.hasLe = true;
        c.le = le == 0 ? 65536 : le;
    } else {
        return false;
    }
    c.data.assign(body + 3, body + 3 + n);
    *command = std::move(c);
    return true;
}

Bytes BuildCommand(unsigned char cla, unsigned char ins, unsigned char p1, unsigned char p2, const Bytes& data,
                   size_t le) {
    // One allocation: no reallocation leaves a copy of a PIN or key in freed memory.
    Bytes out;
    out.reserve(data.size() + 9);
    out.insert(out.end(), {cla, ins, p1, p2});
    bool extended = data.size() > kMaxShortData || le > 256;
    if (!extended) {
        if (!data.empty()) {
            out.push_back(static_cast<unsigned char>(data.size()));
            out.insert(out.end(), data.begin(), data.end());
        }
        if (le > 0) out.push_back(static_cast<unsigned char>(le == 256 ? 0 : le));
        return out;
    }
    out.push_back(0);
    if (!data.empty()) {
        out.push_back(static_cast<unsigned char>(data.size() >> 8));
        out.push_back(static_cast<unsigned char>(data.size()));
        out.insert(out.end(), data.begin(), data.end());
    }
    if (le > 0) {
        size_t coded = le >= 65536 ? 0 : le;
        out.push_back(static_cast<unsigned char>(coded >> 8));
        out.push_back(static_cast<unsigned char>(coded));
    }
    return out;
}

std::vector<Bytes> BuildChain(unsigned char cla, unsigned char ins, unsigned char p1, unsigned char p2,
                              const Bytes& data, size_t le, size_t maxPart) {
    std::vector<Bytes> parts;
    if (maxPart == 0) maxPart = kMaxShortData;
    if (data.size() <= maxPart) {
        parts.push_back(BuildCommand(cla, ins, p1, p2, data, le));
        return parts;
    }
    for (size_t offset = 0; offset < data.size(); offset += maxPart) {
        size_t n = data.size() - offset < maxPart ? data.size() - offset : maxPart;
        bool last = offset + n == data.size();
        Bytes part(data.begin() + static_cast<long>(offset), data.begin() + static_cast<long>(offset + n));
        parts.push_back(BuildCommand(last ? cla : static_cast<unsigned char>(cla | ClaChaining), ins, p1, p2, part,
                                     last ? le : 0));
    }
    return parts;
}

bool ParseResponse(const unsigned char* bytes, size_t length, Response* response) {
    if (bytes == nullptr || response == nullptr || length < 2) return false;
    response->data.assign(bytes, bytes + length - 2);
    response->sw = static_cast<uint16_t>((bytes[length - 2] << 8) | bytes[length - 1]);
    return true;
}

Bytes BuildResponse(const Bytes& data, uint16_t sw) {
    Bytes out;
    out.reserve(data.size() + 2);
    out.insert(out.end(), data.begin(), data.end());
    out.push_back(static_cast<unsigned char>(sw >> 8));
    out.push_back(static_cast<unsigned char>(sw));
    return out;
}

// ---- TLV -----------------------------------------------------------------------------

TlvWriter& TlvWriter::Add(unsigned char tag, const unsigned char* value, size_t length) {
    data_.push_back(tag);
    if (length < 0x80) {
        data_.push_back(static_cast<unsigned char>(length));
    } else if (length <= 0xFF) {
        data_.push_back(0x81);
        data_.push_back(static_cast<unsigned char>(length));
    } else if (length <= 0xFFFF) {
        data_.push_back(0x82);
        data_.push_back(static_cast<unsigned char>(length >> 8));
        data_.push_back(static_cast<unsigned char>(length));
    } else {
        data_.push_back(0x83);
        data_.push_back(static_cast<unsigned char>(length >> 16));
        data_.push_back(static_cast<unsigned char>(length >> 8));
        data_.push_back(static_cast<unsigned char>(length));
    }
    if (length > 0) data_.insert(data_.end(), value, value + length);
    return *this;
}

TlvWriter& TlvWriter::AddU8(unsigned char tag, unsigned value) {
    unsigned char b = static_cast<unsigned char>(value);
    return Add(tag, &b, 1);
}

TlvWriter& TlvWriter::AddU32(unsigned char tag, uint32_t value) {
    unsigned char b[4] = {static_cast<unsigned char>(value >> 24), static_cast<unsigned char>(value >> 16),
                          static_cast<unsigned char>(value >> 8), static_cast<unsigned char>(value)};
    return Add(tag, b, 4);
}

TlvWriter& TlvWriter::AddU64(unsigned char tag, uint64_t value) {
    unsigned char b[8];
    for (int i = 0; i < 8; ++i) b[i] = static_cast<unsigned char>(value >> (56 - 8 * i));
    return Add(tag, b, 8);
}

bool TlvReader::Parse(const unsigned char* data, size_t length) {
    items_.clear();
    if (data == nullptr && length > 0) return false;
    size_t pos = 0;
    while (pos < length) {
        unsigned char tag = data[pos++];
        if ((tag & 0x1F) == 0x1F) return false;  // multi-byte tags are not used
        if (pos >= length) return false;
        size_t len = data[pos++];
        if (len & 0x80) {
            size_t count = len & 0x7F;
            if (count == 0 || count > 3 || length - pos < count) return false;
            len = 0;
            for (size_t i = 0; i < count; ++i) len = (len << 8) | data[pos++];
        }
        if (length - pos < len) return false;
        items_.emplace_back(tag, Bytes(data + pos, data + pos + len));
        pos += len;
    }
    return true;
}

const Bytes* TlvReader::Find(unsigned char tag) const {
    for (const auto& item : items_)
        if (item.first == tag) return &item.second;
    return nullptr;
}

namespace {
template <typename T>
bool readInteger(const Bytes* value, T* out) {
    if (value == nullptr || value->size() != sizeof(T)) return false;
    T v = 0;
    for (unsigned char b : *value) v = static_cast<T>((v << 8) | b);
    *out = v;
    return true;
}
}  // namespace

bool TlvReader::U8(unsigned char tag, unsigned* value) const {
    const Bytes* v = Find(tag);
    if (v == nullptr || v->size() != 1) return false;
    *value = (*v)[0];
    return true;
}

bool TlvReader::U32(unsigned char tag, uint32_t* value) const { return readInteger(Find(tag), value); }

bool TlvReader::U64(unsigned char tag, uint64_t* value) const { return readInteger(Find(tag), value); }

// ---- Status words --------------------------------------------------------------------

uint16_t StatusFor(int coreResult, int triesLeft) {
    switch (coreResult) {
        case CoreOk: return SwOk;
        case CoreWrongPin:
            return static_cast<uint16_t>(SwWrongPinBase | (triesLeft < 0 ? 0 : triesLeft > 15 ? 15 : triesLeft));
        case CoreIoError: return SwMemoryFailure;
        case CoreInvalidArgument:
        case CoreInvalidEncryptedData: return SwWrongData;
        case CoreSecurityStatus: return SwSecurityStatus;
        case CorePinBlocked: return SwPinBlocked;
        case CorePinNotInitialised: return SwPinNotInitialised;
        case CoreProofNotAvailable: return SwConditionsNotSatisfied;
        case CoreNotSupported: return SwFunctionNotSupported;
        case CoreCardUnsupported: return SwApplicationNotFound;
        case CoreCardMemoryFull: return SwMemoryFull;
        case CoreNotFound: return SwNotFound;
        case CoreNoFreeKeyPlace: return SwNoFreeKeyPlace;
        default: return SwUnknown;
    }
}

int ResultFor(uint16_t sw, int* triesLeft, bool forDecipher) {
    if ((sw & 0xFFF0) == SwWrongPinBase) {
        if (triesLeft != nullptr) *triesLeft = sw & 0x0F;
        return CoreWrongPin;
    }
    switch (sw) {
        case SwOk:
        case SwEndOfFile: return CoreOk;
        case SwMemoryFailure: return CoreIoError;
        case SwWrongLength:
        case SwWrongP1P2: return CoreInvalidArgument;
        case SwWrongData: return forDecipher ? CoreInvalidEncryptedData : CoreInvalidArgument;
        case SwSecurityStatus: return CoreSecurityStatus;
        case SwPinBlocked: return CorePinBlocked;
        case SwPinNotInitialised: return CorePinNotInitialised;
        case SwConditionsNotSatisfied: return CoreProofNotAvailable;
        case SwFunctionNotSupported:
        case SwInsNotSupported:
        case SwClaNotSupported: return CoreNotSupported;
        case SwApplicationNotFound: return CoreCardUnsupported;
        case SwMemoryFull: return CoreCardMemoryFull;
        case SwNotFound: return CoreNotFound;
        case SwNoFreeKeyPlace: return CoreNoFreeKeyPlace;
        case SwUnknown: return CoreOutOfMemory;
        default: return CoreIoError;
    }
}

}  // namespace Apdu
}  // namespace Core
}  // namespace Vellumcrest
