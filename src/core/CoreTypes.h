// Result codes, enumerations and small value types shared by the card core and the module.
#pragma once

#include <cstddef>
#include <cstdint>

// Element types of the exported handle lists carry default visibility, so that the list
// instantiations over them can be exported; the linker's version script keeps their own
// members inside the library.
#define VC_LIST_ELEMENT __attribute__((visibility("default")))

namespace Vellumcrest {
namespace Core {

// Results of card-core operations: 0 on success, otherwise one of these.
enum CoreResult : int {
    CoreOk = 0,
    CoreCancelled = 2,
    CoreOutOfMemory = 100,
    CoreInvalidArgument = 101,      // a null pointer, a bad length, an unknown record
    CoreSCardError = 102,           // reader subsystem failure; see GetLastSCardError
    CoreCardUnsupported = 103,      // image unreadable, corrupt or of an unknown type
    CoreBufferTooSmall = 104,
    CoreInvalidEncryptedData = 105,
    CoreNotFound = 106,             // no such record, reader, PIN or cached value
    CoreProofNotAvailable = 107,    // the key was not made on the card
    CoreSecurityStatus = 108,       // operation needs a login that was not made
    CoreIoError = 109,              // the card image could not be read or written
    CoreNotSupported = 110,         // operation not offered by this card or key
    CoreCardNotPresent = 115,
    CoreCardMemoryFull = 120,
    CorePinNotInitialised = 122,
    CorePinBlocked = 123,
    CoreWrongPin = 124,
    CoreUserCancelled = 127,
    CoreNoFreeKeyPlace = 128,       // type-4 card: no free place for an e-signature key
};

// Authentication codes on a card.
enum CardAuthId : int {
    CardAuthIdUser = 1,
    CardAuthIdSo = 2,
    CardAuthIdThird = 3,
};

enum CoreObjectType : int {
    CoreObjectTypeNone = 0,
    CoreObjectTypeKey = 1,
    CoreObjectTypeCertificate = 2,
    CoreObjectTypeFileStorage = 3,
};

enum KeyType : int {
    KeyTypeRsaPublicKey = 0,
    KeyTypeRsaPrivateKey = 1,
    KeyTypeRsaKeyPair = 2,
    KeyTypeDes = 3,
    KeyTypeDes3 = 4,
    KeyTypeRc2 = 5,
    KeyTypeRc4 = 6,
};

enum HashType : int {
    HashTypeMd4 = 0,
    HashTypeMd5 = 1,
    HashTypeSha1 = 2,
    HashTypeSha224 = 3,
    HashTypeSha256 = 4,
    HashTypeSha384 = 5,
    HashTypeSha512 = 6,
    HashTypeSsl3 = 7,
};

// Kind of a new signature key on a type-4 card.
enum SignatureKeyType : int32_t {
    SignatureKeyTypeAsk = 0,
    SignatureKeyTypeApplication = 2,
    SignatureKeyTypeEsign = 6,
};

// Bits of the key-pair flags taken by ReaderCardPair::GenerateKeyPair.
enum KeyPairFlags : int {
    KeyPairFlagDecrypt = 0x08,
    KeyPairFlagSign = 0x10,
    KeyPairFlag2048 = 0x20,
    KeyPairFlagEsign = 0x80,
    KeyPairFlagApplication = 0x100,
};

// Container types (CardObjectType).
enum CardObjectType : int {
    CardObjectTypeData = 0,
    CardObjectTypeKeyContainer = 1,
};

// Bits of the 32-bit flag word of certificate and key records.
enum CardRecordFlags : uint32_t {
    CardRecordFlagImported = 0x04,   // key records: not made on the card
    CardRecordFlagRoot = 0x08,       // certificate records: trusted authority
    CardRecordFlagPartner = 0x20,    // certificate records: another party
    CardRecordFlagClient = 0x40,     // certificate records: the token user's own
};

// Container identifier of the data-file container.
constexpr uint32_t ContainerId_DATA = 0xDA7A;

// Object identifier (CKA_ID): 64-byte value buffer and its length.
struct tKeyIdentifier {
    unsigned char value[64];
    uint32_t length;
};

// Per-object flags record.
struct CoreObjectFlags {
    unsigned char token;
    unsigned char privateObject;
    unsigned char extractable;
    unsigned char modifiable;
    unsigned char encrypt;
    unsigned char decrypt;
    unsigned char sign;
    unsigned char verify;
    tKeyIdentifier id;
    unsigned char reserved;
    unsigned char esign;
};

// Description of the card in a reader, as the token information needs it.
struct CardInfo {
    unsigned char firmwareMajor;
    unsigned char firmwareMinor;
    char cardId[33];                 // terminated; 32 characters when complete
    char model[33];                  // terminated
    unsigned char tokenInitialized;  // 1 = SO PIN set
    unsigned char userPinInitialized;
    unsigned char userPinBlocked;
    unsigned char soPinBlocked;
    unsigned char userPinTriesLeft;
    unsigned char soPinTriesLeft;
    unsigned char authCode3ResetEnabled;  // the third authentication code is active and may be reset
    int32_t totalPublicMemory;
    int32_t freePublicMemory;
    uint32_t pin1MaxLen;
    uint32_t pin1MinLen;
    uint32_t pin2MaxLen;
    uint32_t pin2MinLen;
};

}  // namespace Core
}  // namespace Vellumcrest
