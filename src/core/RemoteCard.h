// The card operations of a reader/card pair carried out by a card that speaks our APDU set
// (docs/card-apdu.md) over a CardChannel: the pcsc reader backend. The card keeps every
// secret; the pair keeps the card's public image, read through READ BINARY.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/CardChannel.h"
#include "core/CoreTypes.h"

namespace Vellumcrest {
namespace Core {

class CardImage;

// What GET DATA tells of the card in the reader.
struct RemoteIdentity {
    std::string cardId;
    uint64_t insertionSerial = 0;
    uint64_t generation = 0;  // changes with every write to the card
    int type = 0;
    // Card identifier plus insertion serial, as CardImage::Identity gives it.
    std::string Identity() const;
};

class RemoteCard {
public:
    explicit RemoteCard(CardChannel* channel) : channel_(channel) {}
    CardChannel* Channel() const { return channel_; }

    // SELECT of the application and GET DATA of its identity. 0; CoreCardUnsupported for a
    // card without our application (a foreign card); CoreSCardError / CoreCardNotPresent
    // when the card could not be reached.
    int Select(RemoteIdentity* identity);
    // GET DATA only (the application is selected).
    int ReadIdentity(RemoteIdentity* identity);
    // The public image, parsed. 0, CoreCardUnsupported when it does not parse, or a
    // transmission failure.
    int ReadPublicImage(std::unique_ptr<CardImage>* image);

    // PIN commands. *triesLeft (may be null) gets the tries left after a wrong PIN.
    int Verify(int authId, const unsigned char* pin, unsigned long length, int* triesLeft);
    // VERIFY with P1 FF: the card forgets every verified PIN. Sent only when the card may hold
    // one: a PIN was sent, or SecurityStateUnknown was called, since the last reset.
    int ResetSecurityState();
    // The card's security state is not known (a transaction began: another process had it).
    void SecurityStateUnknown() { mayHoldPin_ = true; }
    int ChangeReferenceData(int authId, const unsigned char* oldPin, unsigned long oldLength,
                            const unsigned char* newPin, unsigned long newLength);
    int SetReferenceData(int authId, const unsigned char* pin, unsigned long length);
    // newPin null: the card sets the initial PIN.
    int ResetRetryCounter(int authId, const unsigned char* soPin, unsigned long soLength,
                          const unsigned char* newPin, unsigned long newLength);
    int DisableVerification(int authId);

    // Private-key operations; out null or too small: as the pair's Sign/Decrypt (the caller
    // handles length queries before calling).
    int SignPkcs1(uint32_t privateRecord, const unsigned char* data, unsigned long length,
                  std::vector<unsigned char>* signature);
    int SignPss(uint32_t privateRecord, HashType hash, HashType mgfHash, unsigned long saltLength,
                const unsigned char* digest, unsigned long length, std::vector<unsigned char>* signature);
    int DecryptPkcs1(uint32_t privateRecord, const unsigned char* in, unsigned long length,
                     std::vector<unsigned char>* plain);
    int DecryptOaep(uint32_t privateRecord, HashType hash, HashType mgfHash, const unsigned char* label,
                    unsigned long labelLength, const unsigned char* in, unsigned long length,
                    std::vector<unsigned char>* plain);
    int GetAttestation(uint32_t publicRecord, std::vector<unsigned char>* proof);

    // Content commands; the new record's identifiers come back.
    int GenerateKeyPair(uint32_t containerId, int keyPairFlags, uint32_t* privateRecord, uint32_t* publicRecord);
    int ImportKeyPair(uint32_t containerId, int keyPairFlags, const std::vector<unsigned char>& pkcs8,
                      uint32_t* privateRecord, uint32_t* publicRecord);
    int CreateContainer(const std::string& nameUtf8, int type, uint32_t flags, uint32_t* containerId);
    int CreateCertificate(int kind, const unsigned char* der, unsigned long length, uint32_t publicRecord,
                          uint32_t* record);
    int CreateDataFile(const std::string& nameUtf8, uint32_t containerId, uint32_t flags, const unsigned char* data,
                       unsigned long length, uint32_t* record);
    int DeleteContainer(uint32_t containerId, bool withContents);
    int DeleteCertificate(uint32_t record);
    // 0 for either record: not named.
    int DeleteKeyPair(uint32_t privateRecord, uint32_t publicRecord);
    int DeleteDataFile(uint32_t record);
    // kind: Apdu::ItemCertificate, ItemKeyPair (record = private, second = public) or ItemDataFile.
    int PutAttributes(int kind, uint32_t record, uint32_t second, const std::string& label,
                      const std::vector<unsigned char>& id);
    int Erase(bool full);

private:
    // Sends a command (chained when long) and reads the response; the status word becomes
    // a card core result (forDecipher: 6A80 is bad padding).
    int exchange(unsigned char cla, unsigned char ins, unsigned char p1, unsigned char p2, const Apdu::Bytes& data,
                 size_t le, Apdu::Bytes* out, int* triesLeft = nullptr, bool forDecipher = false);
    CardChannel* channel_;
    bool mayHoldPin_ = true;
};

}  // namespace Core
}  // namespace Vellumcrest
