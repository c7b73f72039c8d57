// The card image: everything a virtual card holds, its binary form (docs/card-format.md),
// the atomic, locked file operations on it and the content operations shared by the
// reader/card pairs and the card tool.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/CardCrypto.h"
#include "core/CardRecords.h"
#include "core/CoreTypes.h"
#include "core/DirectoryWatch.h"

namespace Vellumcrest {
namespace Core {

constexpr uint32_t kCardImageVersion = 1;
constexpr const char* kCardImageFileName = "card.vcard";
constexpr size_t kCardIdMaxLength = 32;
constexpr size_t kCardModelMaxLength = 32;
constexpr size_t kCardImageMaxSize = 64u * 1024u * 1024u;

// Bounds of what an image may hold. An image outside them is refused like a damaged one
// (unsupported card), so that no count or size read from a file can make parsing or a
// login run for long or allocate without limit. The writers keep within them.
constexpr size_t kCardMaxItems = 24576;          // top-level items, unknown ones included
constexpr size_t kCardMaxItemFields = 64;        // fields of one item
constexpr size_t kCardMaxContainers = 4096;
constexpr size_t kCardMaxRecords = 16384;        // certificates, keys and data files together
constexpr uint32_t kCardMaxPinIterations = 1000000;
constexpr uint32_t kCardMaxEsignPlaces = 255;
constexpr size_t kCardMaxNameSize = 1024;        // container and data-file names (UTF-8)
constexpr size_t kCardMaxCertificateSize = 64u * 1024u;
constexpr size_t kCardMaxModulusSize = 512;      // 4096 bits
constexpr size_t kCardMaxExponentSize = 8;
constexpr size_t kCardMaxSealedKeySize = 8192;   // sealed PKCS#8 private key
constexpr size_t kCardMaxWrappedKeySize = 1024;  // wrapped data key
constexpr size_t kCardMaxAttestationKeySize = 1024;

// Bits of CardImage::flags.
enum CardImageFlags : uint32_t {
    CardImageFlagThirdCode = 0x01,  // authentication code 3 exists and may be reset
};

// An authentication code (PIN) of the card. Only a salted verifier is kept.
struct CardPin {
    bool present = false;      // the code exists on this card
    bool initialised = false;  // a value is set
    uint8_t maxTries = 3;
    uint8_t triesLeft = 3;
    uint8_t minLength = 4;
    uint8_t maxLength = 12;
    uint32_t iterations = 0;
    std::vector<unsigned char> salt;
    std::vector<unsigned char> verifier;
    // The card's storage private key sealed under the key encryption key of this PIN;
    // empty when this PIN does not give access to it.
    std::vector<unsigned char> storageWrap;

    bool Blocked() const { return initialised && triesLeft == 0; }
};

struct ImageContainer {
    CardContainerRecord record;
};

struct ImageCertificate {
    CardCertificateRecord record;
    std::vector<unsigned char> der;
};

struct ImagePublicKey {
    CardPublicKeyRecord record;
    std::vector<unsigned char> modulus;
    std::vector<unsigned char> exponent;
};

struct ImagePrivateKey {
    CardPrivateKeyRecord record;
    uint32_t publicRecordId = 0;
    std::vector<unsigned char> wrappedDataKey;  // data key encrypted to the storage key
    std::vector<unsigned char> sealedKey;       // PKCS#8 DER sealed under the data key
    // Public images only: bytes the two left-out keys take on the card.
    uint32_t secretSize = 0;
};

struct ImageFile {
    CardFileStorageRecord record;
    std::vector<unsigned char> data;
};

class CardImage {
public:
    CardImage();
    ~CardImage();
    CardImage(const CardImage&) = delete;
    CardImage& operator=(const CardImage&) = delete;

    // Binary form with header and checksum (the public form for a public image).
    std::vector<unsigned char> Serialise() const;
    // The public image: the same form with every secret left out (PIN salts, verifiers and
    // sealed storage keys, the sealed private keys and their wrapped data keys, the open
    // storage key, the attestation key) and a header of its own, so that it can never be
    // taken for a card: ReadCardImage refuses it and WriteCardImage does not write it.
    // Records, labels, PIN counters and lengths and the memory figures are as on the card.
    std::vector<unsigned char> SerialisePublic() const;
    // 0, or CoreCardUnsupported for a truncated, corrupt or unknown image. Takes full and
    // public images; a public one comes back with publicOnly set.
    static int Parse(const unsigned char* data, size_t size, std::unique_ptr<CardImage>* image);
    // Public images only (what a card that speaks APDUs hands out): a full image, which
    // would carry secrets, is refused with CoreCardUnsupported.
    static int ParsePublic(const unsigned char* data, size_t size, std::unique_ptr<CardImage>* image);

    // Card identifier plus insertion serial: what tells one inserted card from another.
    std::string Identity() const;
    // Identity() == identity, without building the text (compared at every call).
    bool HasIdentity(const std::string& identity) const;

    uint32_t NewRecordId();
    uint32_t NewContainerId();
    long UsedMemory() const;
    long FreeMemory() const;
    int EsignKeysInUse() const;
    bool HasPrivateKeys() const { return !privateKeys.empty(); }

    CardPin* Pin(int authId);
    const CardPin* Pin(int authId) const;

    ImageContainer* FindContainer(uint32_t containerId);
    ImageCertificate* FindCertificate(uint32_t recordId);
    ImagePublicKey* FindPublicKey(uint32_t recordId);
    ImagePrivateKey* FindPrivateKey(uint32_t recordId);
    ImageFile* FindFile(uint32_t recordId);

    // Card information.
    std::string cardId;
    int type = 0;
    std::string model;
    uint8_t firmwareMajor = 1;
    uint8_t firmwareMinor = 0;
    uint32_t flags = 0;
    uint32_t totalMemory = 65536;
    uint32_t esignPlaces = 1;
    uint64_t insertionSerial = 0;
    uint64_t generation = 0;
    uint32_t nextRecordId = 1;
    uint32_t nextContainerId = 1;
    // Parsed from a public image: no secret is present and none can be used.
    bool publicOnly = false;

    CardPin pins[4];  // by authentication id 1 to 3

    std::vector<unsigned char> storagePublic;  // X25519
    SecureBytes storageOpen;  // storage private key in the clear while no PIN holds it
    SecureBytes attestationKey;  // PKCS#8 DER, ECDSA P-256

    std::vector<std::unique_ptr<ImageContainer>> containers;
    std::vector<std::unique_ptr<ImageCertificate>> certificates;
    std::vector<std::unique_ptr<ImagePublicKey>> publicKeys;
    std::vector<std::unique_ptr<ImagePrivateKey>> privateKeys;
    std::vector<std::unique_ptr<ImageFile>> files;

private:
    // Positions by record identifier for the Find functions (checked on use, rebuilt when stale).
    struct Index {
        std::unordered_map<uint32_t, size_t> certificates, publicKeys, privateKeys, files;
    } index_;
    std::vector<unsigned char> serialise(bool publicForm) const;
};

// Bytes a record takes of the card's memory.
size_t StoredSize(const ImageContainer& item);
size_t StoredSize(const ImageCertificate& item);
size_t StoredSize(const ImagePublicKey& item);
size_t StoredSize(const ImagePrivateKey& item);
size_t StoredSize(const ImageFile& item);

// ---- Files -------------------------------------------------------------------------

// What identifies one version of a file on disk.
struct CardFileStamp {
    bool exists = false;
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    int64_t mtimeNs = 0;
    int64_t ctimeNs = 0;
    // Checksum from the image header of the version read or written (not part of ==):
    // names the content even when the file's metadata repeats.
    bool hasDigest = false;
    unsigned char digest[32] = {};
    bool operator==(const CardFileStamp& other) const;
    bool operator!=(const CardFileStamp& other) const { return !(*this == other); }
};

CardFileStamp StatCardFile(const std::string& path);
// True when the file at path still holds the version of stamp, by the checksum in its
// header. Metadata can repeat (an inode reused within one timestamp tick), the checksum
// cannot; a stamp without a digest never matches.
bool CardFileHoldsVersion(const std::string& path, const CardFileStamp& stamp);

// 0; CoreCardNotPresent when there is no file; CoreCardUnsupported when it is not a valid
// image (then *stamp is still set); CoreIoError when it cannot be read.
int ReadCardImage(const std::string& path, std::unique_ptr<CardImage>* image, CardFileStamp* stamp);
// Identity of a file that is no valid image: from its stamp.
std::string UnreadableIdentity(const CardFileStamp& stamp);
// Identity of what the path holds: "" for no file, the image identity for a valid image,
// a stamp-derived text for an unreadable one. cache/cacheStamp avoid re-reading.
std::string ReadCardIdentity(const std::string& path, CardFileStamp* cacheStamp, std::string* cacheIdentity);

// Atomic replacement: a temporary file beside the target, fsync, rename, fsync of the
// directory. Increments the image's generation. 0 or CoreIoError (the old file is intact).
int WriteCardImage(const std::string& path, CardImage& image, CardFileStamp* stamp);
// The same for raw bytes (no generation change).
int WriteFileAtomic(const std::string& path, const std::vector<unsigned char>& bytes, CardFileStamp* stamp);

// Exclusive advisory lock (flock) on "<image>.lock", serialising processes that work on
// one card image. The lock file stays open between locks while its directory is watched
// and quiet.
class CardFileLock {
public:
    CardFileLock() = default;
    ~CardFileLock() {
        Unlock();
        close();
    }
    CardFileLock(const CardFileLock&) = delete;
    CardFileLock& operator=(const CardFileLock&) = delete;
    // 0, or CoreIoError when the lock file cannot be opened or locked.
    int Lock(const std::string& imagePath);
    void Unlock();
    bool Held() const { return held_; }
    // The directory change queue was read after the lock was taken.
    bool QueueReadUnderLock() const { return held_ && queueReadUnderLock_; }

private:
    bool takeLock();
    void close();

    int fd_ = -1;
    bool held_ = false;
    bool queueReadUnderLock_ = false;
    std::string path_;
    WatchMark mark_;
};

// Failure injection for tests of the atomic write: the next writes fail at the given
// stage (1: after part of the data, 2: before the rename); 0 switches it off.
void SetCardWriteFaultForTesting(int stage);

// ---- Content -----------------------------------------------------------------------

struct CardSettings {
    int type = 1;
    std::string cardId;  // empty: 32 random hex characters
    std::string model;   // empty: a model text by type
    uint8_t firmwareMajor = 1;
    uint8_t firmwareMinor = 0;
    uint32_t totalMemory = 65536;
    uint32_t esignPlaces = 1;
    uint8_t userTries = 3;
    uint8_t soTries = 5;
    bool thirdCode = false;
};

namespace CardContent {

// A new empty card with its storage and attestation keys (no PIN set). 0 or 100/101.
int CreateCard(const CardSettings& settings, std::unique_ptr<CardImage>* image);

bool IsValidCardId(const std::string& id);

// The implicit container of data files.
bool IsDataContainer(uint32_t containerId);

int AddContainer(CardImage& image, const std::string& nameUtf8, int type, ImageContainer** container);
// Stores a key pair (generated or imported) in the container; the private key is sealed
// to the card's storage key. 120 memory full, 128 no free e-signature place, 101 bad input.
int AddKeyPair(CardImage& image, uint32_t containerId, int keyPairFlags, EVP_PKEY* key, bool imported,
               ImagePrivateKey** privateKey, ImagePublicKey** publicKey);
// Opens the sealed private key with the storage private key.
PkeyPtr UnsealPrivateKey(const CardImage& image, const ImagePrivateKey& key, const SecureBytes& storagePrivate);
// containerId 0 makes a new container for the certificate. 101 when der is no X.509
// certificate, 120 memory full.
int AddCertificate(CardImage& image, uint32_t containerId, int kind, const unsigned char* der, size_t size,
                   ImageCertificate** certificate);
int AddFile(CardImage& image, uint32_t containerId, const std::string& nameUtf8, uint32_t flags,
            const unsigned char* data, size_t size, ImageFile** file);

// Removal: the item leaves the image; the caller may keep it alive (pointer stability).
std::unique_ptr<ImageCertificate> TakeCertificate(CardImage& image, uint32_t recordId);
std::unique_ptr<ImagePublicKey> TakePublicKey(CardImage& image, uint32_t recordId);
std::unique_ptr<ImagePrivateKey> TakePrivateKey(CardImage& image, uint32_t recordId);
std::unique_ptr<ImageFile> TakeFile(CardImage& image, uint32_t recordId);
std::unique_ptr<ImageContainer> TakeContainer(CardImage& image, uint32_t containerId);
int CountInContainer(const CardImage& image, uint32_t containerId);

// Flags of a certificate record by kind.
uint32_t CertificateFlags(int kind);

}  // namespace CardContent
}  // namespace Core
}  // namespace Vellumcrest
