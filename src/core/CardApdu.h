// ISO 7816-4 command and response APDUs of our card application (docs/card-apdu.md): the
// encoding shared by the card emulator and the module's PC/SC reader backend.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace Vellumcrest {
namespace Core {
namespace Apdu {

using Bytes = std::vector<unsigned char>;

// AID of the application.
extern const unsigned char kAid[8];

// Largest command data accepted (chained parts together) and largest response data.
constexpr size_t kMaxCommandData = 1u << 20;
constexpr size_t kMaxShortData = 255;
constexpr size_t kMaxExtendedData = 65535;
// Le of one READ BINARY of the public image; what vpcd's 2-byte frame length leaves room for.
constexpr size_t kReadChunk = 0xF000;
// EF of the public image.
constexpr uint16_t kPublicImageFile = 0x5001;

enum Cla : unsigned char { ClaIso = 0x00, ClaProprietary = 0x80, ClaChaining = 0x10 };

enum Ins : unsigned char {
    InsSelect = 0xA4,
    InsGetData = 0xCA,
    InsReadBinaryOdd = 0xB1,
    InsVerify = 0x20,
    InsChangeReferenceData = 0x24,
    InsDisableVerification = 0x26,
    InsResetRetryCounter = 0x2C,
    InsManageSecurityEnvironment = 0x22,
    InsPerformSecurityOperation = 0x2A,
    InsGenerateKeyPair = 0x47,
    InsGetAttestation = 0xF0,
    InsCreate = 0xE0,
    InsDelete = 0xE4,
    InsPutData = 0xDA,
    InsErase = 0x0E,
};

// P1 of CREATE, DELETE and PUT DATA: the kind of item.
enum ItemKind : unsigned char {
    ItemContainer = 1,
    ItemCertificate = 2,
    ItemKeyPair = 3,
    ItemDataFile = 4,
};

// Algorithm references of MSE SET (tag 0x80).
enum Algorithm : unsigned char { AlgPkcs1 = 0x01, AlgPssOrOaep = 0x02 };

// Tags of the TLV data fields.
enum Tag : unsigned char {
    TagAlgorithm = 0x80,
    TagName = 0x81,          // also: old PIN, SO PIN, card ID
    TagType = 0x82,          // also: new PIN, insertion serial
    TagFlags = 0x83,         // also: generation
    TagKeyReference = 0x84,  // also: card type in GET DATA, AID in the FCI
    TagContainer = 0x85,
    TagKeyPairFlags = 0x86,
    TagContent = 0x87,
    TagRecord = 0x88,
    TagPrivateKey = 0x89,
    TagPublicKey = 0x8A,
    TagLabel = 0x8B,
    TagIdentifier = 0x8C,
    TagHash = 0x91,
    TagMgfHash = 0x92,
    TagSaltLength = 0x93,
    TagOaepLabel = 0x94,
    TagOffset = 0x54,
    TagFci = 0x6F,
};

constexpr unsigned char kPinOld = TagName;
constexpr unsigned char kPinNew = TagType;
constexpr unsigned char kIdentityCardId = TagName;
constexpr unsigned char kIdentitySerial = TagType;
constexpr unsigned char kIdentityGeneration = TagFlags;
constexpr unsigned char kIdentityCardType = TagKeyReference;

// Status words.
enum StatusWord : uint16_t {
    SwOk = 0x9000,
    SwEndOfFile = 0x6282,
    SwWrongPinBase = 0x63C0,  // | tries left (0 to 15)
    SwMemoryFailure = 0x6581,
    SwWrongLength = 0x6700,
    SwSecurityStatus = 0x6982,
    SwPinBlocked = 0x6983,
    SwPinNotInitialised = 0x6984,
    SwConditionsNotSatisfied = 0x6985,
    SwWrongData = 0x6A80,
    SwFunctionNotSupported = 0x6A81,
    SwApplicationNotFound = 0x6A82,
    SwMemoryFull = 0x6A84,
    SwWrongP1P2 = 0x6A86,
    SwNotFound = 0x6A88,
    SwInsNotSupported = 0x6D00,
    SwClaNotSupported = 0x6E00,
    SwUnknown = 0x6F00,
    SwNoFreeKeyPlace = 0x6F80,
};

struct Command {
    unsigned char cla = 0;
    unsigned char ins = 0;
    unsigned char p1 = 0;
    unsigned char p2 = 0;
    Bytes data;
    bool hasLe = false;
    size_t le = 0;  // 1 to 65536 when hasLe (a coded 0 means 256 short, 65536 extended)
    bool extended = false;
};

// Parses one command APDU (cases 1 to 4, short or extended). False when malformed.
bool ParseCommand(const unsigned char* apdu, size_t length, Command* command);
// Encodes a command; extended length is used when data or le need it (le 0: no Le field).
Bytes BuildCommand(unsigned char cla, unsigned char ins, unsigned char p1, unsigned char p2, const Bytes& data,
                   size_t le);
// Splits data into a chain of commands of at most maxPart data bytes each.
std::vector<Bytes> BuildChain(unsigned char cla, unsigned char ins, unsigned char p1, unsigned char p2,
                              const Bytes& data, size_t le, size_t maxPart = kMaxExtendedData);

struct Response {
    Bytes data;
    uint16_t sw = 0;
};
// False when shorter than the two status bytes.
bool ParseResponse(const unsigned char* bytes, size_t length, Response* response);
Bytes BuildResponse(const Bytes& data, uint16_t sw);

// ---- TLV -----------------------------------------------------------------------------

class TlvWriter {
public:
    TlvWriter& Add(unsigned char tag, const unsigned char* value, size_t length);
    TlvWriter& Add(unsigned char tag, const Bytes& value) { return Add(tag, value.data(), value.size()); }
    TlvWriter& AddU8(unsigned char tag, unsigned value);
    TlvWriter& AddU32(unsigned char tag, uint32_t value);
    TlvWriter& AddU64(unsigned char tag, uint64_t value);
    const Bytes& Data() const { return data_; }
    Bytes Take() { return std::move(data_); }

private:
    Bytes data_;
};

// One level of one-byte-tag TLVs. Parse is false on any malformed or truncated element.
class TlvReader {
public:
    bool Parse(const unsigned char* data, size_t length);
    bool Parse(const Bytes& data) { return Parse(data.data(), data.size()); }
    bool Has(unsigned char tag) const { return Find(tag) != nullptr; }
    // Value of the first element with the tag; null when absent.
    const Bytes* Find(unsigned char tag) const;
    // False when absent or of another length than the integer's.
    bool U8(unsigned char tag, unsigned* value) const;
    bool U32(unsigned char tag, uint32_t* value) const;
    bool U64(unsigned char tag, uint64_t* value) const;

private:
    std::vector<std::pair<unsigned char, Bytes>> items_;
};

// ---- Status words and card core results ----------------------------------------------

// Status word for a card core result; triesLeft is used for a wrong PIN.
uint16_t StatusFor(int coreResult, int triesLeft = 0);
// Card core result for a status word; *triesLeft (may be null) gets x of 63Cx.
// forDecipher maps 6A80 to an invalid-encrypted-data result.
int ResultFor(uint16_t sw, int* triesLeft = nullptr, bool forDecipher = false);

}  // namespace Apdu
}  // namespace Core
}  // namespace Vellumcrest
