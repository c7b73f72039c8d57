// Virtual readers and the cards in them.
//
// A reader is a directory below the readers directory (ConfigGlobal::GetReadersDir) with a
// file "reader.conf"; a card is an image file "card.vcard" inside that directory. Putting
// the image there inserts the card, taking it away removes it, and an image with another
// card identifier or another insertion serial is a changed card. See docs/card-format.md.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/CardRecords.h"
#include "core/CoreTypes.h"
#include "core/ExclusiveLock.h"
#include "core/OrvoString.h"
#include "core/UnsealedKeys.h"
#include "handles/List.h"

struct evp_pkey_st;  // OpenSSL's EVP_PKEY

namespace Vellumcrest {
namespace Core {

class CardImage;       // parsed card image (core internal)
struct ReaderEntry;    // a reader as found on disk (core internal)
struct RemoteIdentity;  // what GET DATA tells of a card (RemoteCard.h)
class CardChannel;      // connection to a card that speaks APDUs (CardChannel.h)

// Per-pair cache of the last PIN that passed. Cleared by Clear and when the card changes.
// It also holds the private keys the card unsealed while this PIN was cached: every Write
// and Clear wipes them.
class PinCache {
public:
    virtual ~PinCache();
    // *length: room on entry, PIN length on exit. 104 when the room is too small,
    // 106 when the cache is empty.
    int Read(unsigned char* buffer, unsigned long* length);
    int Write(const unsigned char* pin, unsigned long length);
    void Clear();

    // Card core: unsealed keys (see UnsealedKeys). A key is kept only while a PIN is cached.
    EVP_PKEY* FindUnsealedKey(uint32_t recordId, const std::vector<unsigned char>& sealedForm) {
        return unsealed_.Find(recordId, sealedForm);
    }
    void KeepUnsealedKey(uint32_t recordId, const std::vector<unsigned char>& sealedForm, EVP_PKEY* key);

private:
    std::mutex mutex_;
    std::vector<unsigned char> pin_;
    UnsealedKeys unsealed_;
};

class Reader {
public:
    virtual ~Reader();
    const char* GetReaderName() const { return name_.c_str(); }
    // True for a reader with a PIN pad.
    bool GetSpeEnabled() const { return pinPad_; }
    // Re-reads the reader's state from disk (a stat of its files when nothing changed) and
    // compares the card with the one last acknowledged; *changed is true when the card was
    // removed, inserted or replaced. The new state becomes the acknowledged one.
    int UpdateReaderState(bool* changed);
    // Set by ReaderCardPairList::Update when the card differs from the acknowledged one.
    bool GetCardChanged() const { return cardChanged_; }

private:
    friend class ReaderCardPair;
    friend class ReaderCardPairList;
    std::string name_;
    std::string directory_;
    bool pinPad_ = false;
    bool cardChanged_ = false;
    class ReaderCardPair* pair_ = nullptr;
};

// An RSA key pair made by ReaderCardPair::PrepareKeyPair and not yet stored on a card.
// The private key is wiped when the object goes.
class PreparedKeyPair {
public:
    PreparedKeyPair() = default;
    ~PreparedKeyPair();
    PreparedKeyPair(const PreparedKeyPair&) = delete;
    PreparedKeyPair& operator=(const PreparedKeyPair&) = delete;
    bool IsReady() const { return key_ != nullptr; }

private:
    friend class ReaderCardPair;
    void reset();
    evp_pkey_st* key_ = nullptr;
    int keyPairFlags_ = 0;
};

class VC_LIST_ELEMENT ReaderCardPair {
public:
    ReaderCardPair();
    virtual ~ReaderCardPair();
    ReaderCardPair(const ReaderCardPair&) = delete;
    ReaderCardPair& operator=(const ReaderCardPair&) = delete;

    void Lock();
    void Unlock();

    // Brings the reader and its card up to date with the disk: a stat of reader.conf and of
    // the card image when nothing changed, a re-read of what did. Unlike UpdateReaderState it
    // acknowledges nothing, so the next list update or UpdateReaderState still reports a
    // change. 0, or 100 when memory ran out.
    int Refresh();
    // As of the last Refresh, UpdateReaderState or list update.
    bool IsValidReader();
    bool IsSupportedCardPresent();
    // A card is in the reader that is not one of ours: an unreadable image, or a card that
    // refuses our application.
    bool IsUnrecognisedCardPresent();
    Reader* GetReader();
    // 1 to 4 for a supported card, 0 when no card or an unreadable one is present.
    int GetCardType();
    // Null when no supported card is present. refresh re-reads the image first.
    const CardInfo* GetCardInfo(bool refresh);
    unsigned long GetLastSCardError() const;
    PinCache* GetPinCache() { return &pinCache_; }

    // Card work is bracketed by Open and Close: Open takes the cross-process lock of the
    // card image and reloads it when it changed on disk; Close releases it and forgets a
    // login. Operations also work without Open; they then lock the image themselves.
    int Open();
    int Close();

    // PIN verification; a wrong PIN decrements the persistent retry counter.
    int Login(int authId, const unsigned char* pin, unsigned long length);
    int Logout();
    int InitAuthCode(int authId, const unsigned char* pin, unsigned long length);
    int ChangeAuthCode(int authId, const unsigned char* oldPin, unsigned long oldLength,
                       const unsigned char* newPin, unsigned long newLength);
    // Unblocks authId with the SO PIN; with a new PIN also sets it, without one sets the
    // initial user PIN "47210935" (the known state token initialisation starts from).
    int ResetAuthCode(int authId, const unsigned char* soPin, unsigned long soLength,
                      const unsigned char* newPin, unsigned long newLength);
    int DeactivateAuthCode(int authId);
    void SetAuthAPDUEnabled(bool enabled) { authApduEnabled_ = enabled; }
    bool IsAuthAPDUEnabled() const { return authApduEnabled_; }
    // Deletes every container, key, certificate and data file (PINs stay).
    int EraseCard(bool full);

    // Raw RSA PKCS#1 v1.5 (block type 1) signature over data; needs the key's login.
    int Sign(const CardPrivateKeyRecord* key, const unsigned char* data, unsigned long length,
             unsigned char* signature, unsigned long* signatureLength);
    // PKCS#1 v1.5 (block type 2) decryption; 105 on bad padding, 104 when out is too small.
    int Decrypt(const CardPrivateKeyRecord* key, const unsigned char* in, unsigned long inLength,
                unsigned char* out, unsigned long* outLength);
    // RSA-PSS (MGF1) signature over a digest of the hash type; needs the key's login.
    // 101 for a digest of the wrong size or a salt too long for the key.
    int SignPss(const CardPrivateKeyRecord* key, HashType hash, HashType mgfHash, unsigned long saltLength,
                const unsigned char* digest, unsigned long digestLength, unsigned char* signature,
                unsigned long* signatureLength);
    // RSA-OAEP (MGF1) decryption with an optional label; 105 on any decoding failure, 104
    // when out is too small, out null gives the modulus length.
    int DecryptOaep(const CardPrivateKeyRecord* key, HashType hash, HashType mgfHash, const unsigned char* label,
                    unsigned long labelLength, const unsigned char* in, unsigned long inLength, unsigned char* out,
                    unsigned long* outLength);
    // Signature of the card's attestation key over the public key; 107 for imported keys.
    int ComputeProof(const CardPublicKeyRecord* key, unsigned char* buffer, unsigned long* length);

    int CreateContainer(const orvostd::OrvoStringW& name, int flags, int cardObjectType,
                        CardContainerRecord** container, bool reserved);
    // withContents deletes the container's records too; otherwise it must be empty.
    int DeleteContainer(CardContainerRecord* container, bool withContents, bool reserved);
    // Stores an imported key pair (param given), a prepared one (prepared given) or one
    // generated here while the card is held (neither) in the container. 128 on a type-4
    // card when no e-signature place is free; 120 when memory is full.
    int GenerateKeyPair(CardContainerRecord* container, int keyPairFlags,
                        CardPrivateKeyRecord** privateKey, CardPublicKeyRecord** publicKey,
                        const RsaParam* param, PreparedKeyPair* prepared = nullptr);
    // The slow part of a generation, to be called without the pair locked: checks that
    // the card can take such a key (128, 120 as above), then makes the RSA key holding no
    // lock of the pair or the card. GenerateKeyPair with it stores it.
    int PrepareKeyPair(int keyPairFlags, PreparedKeyPair* prepared);
    // Either record may be null: only the other one is deleted.
    int DeleteKeyPair(CardPrivateKeyRecord* privateKey, CardPublicKeyRecord* publicKey);
    int CreateCertificateRoot(const CardCertificate& certificate, CardCertificateRecord** record);
    int CreateCertificateClient(const CardCertificate& certificate, const CardPublicKeyRecord* key,
                                CardCertificateRecord** record);
    int CreateCertificatePartner(const CardCertificate& certificate, CardCertificateRecord** record);
    int DeleteCertificate(CardCertificateRecord* record);
    int CreateFileStorage(const orvostd::OrvoStringW& name, uint32_t containerId, int flags,
                          const CardFileStorage& data, CardFileStorageRecord** record, bool reserved);
    int DeleteFileStorage(CardFileStorageRecord* record);
    // Write the common attributes (label, identifier) of the records to the card.
    int UpdateKeyPairAttr(CardPrivateKeyRecord* privateKey, CardPublicKeyRecord* publicKey);
    int UpdateCertificateAttr(CardCertificateRecord* record);
    int UpdateFileStorageAttr(CardFileStorageRecord* record);

    // Record look-ups (null when not found).
    CardContainerRecord* FindCardContainerRecord(const CardCertificateRecord* record);
    CardContainerRecord* FindCardContainerRecord(const CardPublicKeyRecord* record);
    CardContainerRecord* FindCardContainerRecord(const CardPrivateKeyRecord* record);
    CardContainerRecord* FindCardContainerRecord(const CardFileStorageRecord* record);
    CardCertificateRecord* FindCardCertificateRecord(const CardPublicKeyRecord* key);
    CardPublicKeyRecord* FindCardPublicKeyRecord(const CardPrivateKeyRecord* key);
    CardPrivateKeyRecord* FindCardPrivateKeyRecord(const CardPublicKeyRecord* key);
    // Counting forms: with a null array, the number of such records in the container;
    // otherwise fill up to that many from index on. -1 on failure.
    int FindCardCertificateRecord(const CardContainerRecord* container, int index,
                                  CardCertificateRecord** records);
    int FindCardPublicKeyRecord(const CardContainerRecord* container, int index,
                                CardPublicKeyRecord** records);
    int FindCardPrivateKeyRecord(const CardContainerRecord* container, int index,
                                 CardPrivateKeyRecord** records);
    int FindCardFileStorageRecord(const CardContainerRecord* container, int index,
                                  CardFileStorageRecord** records);
    // By record identifier.
    CardCertificateRecord* FindCardCertificateRecordById(uint32_t recordId);
    CardPublicKeyRecord* FindCardPublicKeyRecordById(uint32_t recordId);
    CardPrivateKeyRecord* FindCardPrivateKeyRecordById(uint32_t recordId);
    CardFileStorageRecord* FindCardFileStorageRecordById(uint32_t recordId);
    // All records of a kind, in card order.
    std::vector<CardCertificateRecord*> GetCertificateRecords();
    std::vector<CardPublicKeyRecord*> GetPublicKeyRecords();
    std::vector<CardPrivateKeyRecord*> GetPrivateKeyRecords();
    std::vector<CardFileStorageRecord*> GetFileStorageRecords();
    // Payloads read from the card; the caller deletes them. Null when not found.
    CardPublicKey* GetCardPublicKey(const CardPublicKeyRecord* key, bool refresh);
    CardCertificate* GetCardCertificate(const CardCertificateRecord* record);
    CardFileStorage* GetCardFileStorage(const CardFileStorageRecord* record);

    // ---- The card side of a card that speaks APDUs (CardApduServer) ----
    // A pair outside any list for the card image at imagePath, named name: no reader.conf
    // and no readers directory (do not Refresh it); its card is read as the image changes.
    static std::unique_ptr<ReaderCardPair> ForImage(const std::string& name, const std::string& imagePath);
    // The module side of such a card: a pair outside any list whose card is reached through
    // channel, as a PC/SC reader's is (for tests and tools that carry the APDUs themselves).
    // The card is selected and read at once; Refresh reads it again.
    static std::unique_ptr<ReaderCardPair> ForChannel(const std::string& name, std::unique_ptr<CardChannel> channel);
    // Card identifier, insertion serial, generation and type of the card as it is now.
    // 0, CoreCardNotPresent or CoreCardUnsupported.
    int GetCardIdentity(RemoteIdentity* identity);
    // The card's public image (CardImage::SerialisePublic); identity as above, may be null.
    int GetPublicImage(std::vector<unsigned char>* bytes, RemoteIdentity* identity);
    // State of an authentication code: CoreNotFound when the card has no such code.
    int GetAuthCodeState(int authId, bool* initialised, int* triesLeft);
    CardContainerRecord* FindCardContainerRecordById(uint32_t containerId);

private:
    friend class ReaderCardPairList;
    friend class ReaderCardPairMon;
    friend class Reader;
    struct State;
    bool TryLock();
    void noteLocked();
    std::unique_ptr<State> state_;
    ExclusiveLock lock_;
    Reader reader_;
    PinCache pinCache_;
    bool authApduEnabled_ = true;
    unsigned long lastSCardError_ = 0;
};

// The readers known to the process: one pair per reader. Handles are the slot IDs. A reader
// keeps its handle while it stays; one that is gone may be taken out of the list
// (RemoveVanishedReader) and gets a new handle when it returns.
class ReaderCardPairList : public List<ReaderCardPair> {
public:
    ReaderCardPairList();
    ~ReaderCardPairList() override;

    // Rescans the readers directory: adds new readers, marks vanished ones invalid and
    // sets each reader's card-changed flag against its acknowledged card, which the new
    // state then replaces. invalidate drops cached card images. 100 on memory failure.
    int Update(bool invalidate);
    // Adds pairs for readers not yet known, without touching existing pairs.
    int AddNewReaders();
    unsigned long GetFirstHandle();
    unsigned long GetNextHandle(unsigned long handle);
    // Every handle, in list order: a walk that pairs taken out meanwhile cannot cut short.
    std::vector<unsigned long> GetHandles();
    // With lock true the pair is returned locked; the caller calls Unlock. Waiting for a
    // pair held elsewhere is done without the list's lock. A pair fetched without the lock
    // flag may be used only while its reader stays.
    ReaderCardPair* GetReaderCardPair(unsigned long handle, bool lock);
    // Handle of the reader with this name, 0 when none.
    unsigned long FindReaderHandle(const std::string& name);
    // Takes the pair of a reader found gone (by the last update or refresh) out of the list
    // and destroys it, unless a thread holds it or waits for it. The caller makes sure no
    // session refers to the slot. True when the pair was removed.
    bool RemoveVanishedReader(unsigned long handle);

private:
    int addReaders(const std::vector<ReaderEntry>& entries);
    ExclusiveLock listLock_;
};

// Waits for reader and card events (a card inserted or removed, a reader added or
// removed) on the readers of a list. Keeps its own view of the readers between calls, so
// an event that happens between two waits is reported by the second.
class ReaderCardPairMon {
public:
    ReaderCardPairMon();
    virtual ~ReaderCardPairMon();
    // Blocks (wait true) until an event: > 0 and *slot set to the slot of the event;
    // 0 when wait is false and nothing happened; -1 when Cancel was called meanwhile.
    int Run(ReaderCardPairList* list, unsigned long* slot, bool wait);
    // The same, returning -1 at once when Cancel was called after CancelCount gave since: a
    // caller that checks its own state between the two cannot miss a cancel made meanwhile.
    int Run(ReaderCardPairList* list, unsigned long* slot, bool wait, unsigned long since);
    unsigned long CancelCount();
    // Makes every Run in progress return -1.
    void Cancel();

private:
    struct State;
    static std::string pcscView(bool present, unsigned eventCount);
    int runPcsc(ReaderCardPairList* list, unsigned long* slot, bool wait, unsigned long generation);
    std::unique_ptr<State> state_;
};

}  // namespace Core
}  // namespace Vellumcrest
