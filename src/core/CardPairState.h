// Internal state of a reader/card pair (core internal; included by ReaderCardPair*.cpp).
#pragma once

#include <atomic>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "core/CardAuth.h"
#include "core/CardImage.h"
#include "core/CardReaders.h"
#include "core/CardChannel.h"
#include "core/DirectoryWatch.h"
#include "core/RemoteCard.h"
#include "core/Reader.h"

namespace Vellumcrest {
namespace Core {

class PcscChannel;

struct ReaderCardPair::State {
    explicit State(ReaderCardPair* owner);

    ReaderCardPair* pair;

    // Reader.
    bool readerValid = false;
    bool hasPinPadPin = false;
    std::string pinPadPin;
    std::string imagePath;
    CardFileStamp confStamp;        // reader.conf as last applied
    CardFileStamp readersDirStamp;  // readers directory when a search by name last missed
    // The reader directory as of the last look at reader.conf, at the card file, and when the
    // image was last read or written or its checksum proved it the file's: while the
    // directory stays quiet since a mark, what that look found still holds.
    WatchMark readerMark;
    WatchMark cardMark;
    WatchMark contentMark;

    // The card as last read: status 0 with an image, CoreCardNotPresent, CoreCardUnsupported
    // or CoreIoError without one.
    std::unique_ptr<CardImage> image;
    int cardStatus = CoreCardNotPresent;
    CardFileStamp stamp;
    std::string loadedIdentity;  // card whose login state and PIN cache the pair holds
    std::string ackIdentity;     // card last reported by Update / UpdateReaderState
    CardInfo info = {};
    CardContainerRecord dataContainer;

    // pcsc reader backend: the card is reached through channel, and image holds its public
    // image (no secrets); every card operation goes to remote. Null for directory readers.
    std::unique_ptr<CardChannel> channel;
    std::unique_ptr<RemoteCard> remote;
    PcscChannel* pcsc = nullptr;    // channel, when it is a PC/SC one (presence, connection)
    unsigned eventCount = 0;        // pcsc-lite's insertion counter at the last look
    bool cardSeen = false;          // a card was in the reader at the last look
    bool unsupportedLogged = false; // the foreign card now in the reader was reported
    unsigned long loggedSCardError = 0;  // reader failure last reported for this insertion

    // Card work.
    int openDepth = 0;
    CardFileLock fileLock;
    bool loggedIn[4] = {};
    SecureBytes storageKey;

    // Lock bookkeeping: records removed from the image stay alive until the outermost
    // Unlock, so that pointers handed out during a locked span never dangle. Atomic, as
    // an Unlock by a thread that does not hold the pair reads them.
    std::atomic<int> holdDepth{0};
    std::atomic<std::thread::id> holder{std::thread::id()};
    bool checkedInHold = false;  // the image was compared with the file in this locked span
    bool drainedInHold = false;  // the change queue was read in this locked span
    std::vector<std::shared_ptr<void>> retired;
    // Threads waiting in ReaderCardPairList::GetReaderCardPair for this pair; a pair with
    // waiters is never taken out of the list. Raised under the list's lock, lowered by the
    // waiter once it holds the pair.
    std::atomic<int> waiters{0};

    // Takes the reader's new state from a scan (null: the reader is gone).
    void applyReader(const ReaderEntry* entry);
    // Re-reads reader.conf when its stamp changed (one stat when it did not); a reader
    // gone from its directory is searched for by name when the readers directory changed.
    void refreshReader();
    // Compares the card with the one last acknowledged, which it then becomes: true when the
    // card was removed, inserted or replaced since.
    bool acknowledge();
    // Re-reads the image when it changed on disk (always with force). No effect while
    // the card is open: the file lock keeps others out.
    void ensureFresh(bool force);
    void reload();
    // Channel pairs (ReaderCardPairChannel.cpp). attachChannel makes the pair one.
    void attachChannel(std::unique_ptr<CardChannel> newChannel, PcscChannel* asPcsc);
    void channelApplyReader(bool listed);
    // Presence through the reader (one status query), then the card as remoteSync.
    void channelSync(bool force);
    // syncRemote inside a transaction; a card switched or deselected by another process is
    // selected and read again (remoteLoad: SELECT, then syncRemote). 0 or the failure, which
    // is also noted.
    int remoteSync(bool force);
    int remoteLoad(bool force);
    int noteChannelFailure(int rc);
    int channelOpen();
    void channelClose();
    // A transaction around a write outside Open, in place of the file lock; its end makes
    // the card forget verified PINs. 0, or the failure (noted).
    int channelLock();
    void channelUnlock();
    // Whether the reader directory stayed quiet since mark; reads the change queue once per
    // locked span.
    bool quietSince(const WatchMark& mark);
    void dropImage(int status, const CardFileStamp& newStamp);
    void cardSwitched();
    void forgetLogin();
    std::string currentIdentity() const;
    // Writes the image; on failure the image is read back from disk so that memory and
    // card agree. 0 or CoreIoError.
    int commit();
    template <typename T>
    void retire(std::unique_ptr<T> item) {
        if (item) retired.emplace_back(std::shared_ptr<T>(std::move(item)));
    }
    void fillInfo();
    // Storage private key for a change of codes: the logged-in one, the open one, or one
    // reachable through the memo. False when none is.
    bool storageForChange(SecureBytes* storage);

    // True when the PIN that guards the key is logged in and the storage key is open.
    bool keyLoggedIn(const ImagePrivateKey& item) const;
    class Scope;
    // The unsealed private key of a logged-in key, for a private-key operation of caller
    // (named in the error line). CoreSecurityStatus without the key's login. The key is
    // kept in the PIN cache while that holds the PIN; *key is the caller's own reference.
    int unsealForUse(Scope& scope, const ImagePrivateKey& item, const char* caller, PkeyPtr* key);
    // The answer to a signature request on item: the signature length for a null buffer,
    // CoreBufferTooSmall for a short one, else the signature that sign(key, &out) makes with
    // the unsealed key (false or a wrong length: CoreInvalidArgument), copied out.
    // On a card of the pcsc backend the card signs: onCard(&out) instead of sign.
    template <typename Signer, typename CardSigner>
    int signInto(Scope& scope, const ImagePrivateKey& item, const char* caller, unsigned char* signature,
                 unsigned long* signatureLength, Signer sign, CardSigner onCard);
    // Copies a plaintext out: CoreBufferTooSmall with the size needed when out is too small.
    static int plainInto(const unsigned char* plain, size_t size, unsigned char* out, unsigned long* outLength);

    // ---- pcsc backend (ReaderCardPairRemote.cpp): the card carries out the operation ----
    // The mirror follows the card: GET DATA, and the public image re-read when the card's
    // generation moved (always with force). A record still on the card keeps its object,
    // updated in place, so that pointers handed out survive; one gone stays alive until the
    // outermost Unlock. 0, or the failure of the read (the mirror then stays as it was).
    int syncRemote(bool force);
    // rc of a command that may have changed the card, after the mirror followed it; a
    // failed re-read is logged (the next refresh catches up).
    int remoteWrote(int rc);
    int remoteLogin(int authId, const unsigned char* pin, unsigned long length);
    void remoteLogout();
    int remoteDeactivate(int authId);
    int remoteErase(bool full);
    int remoteDecrypt(const ImagePrivateKey& item, const unsigned char* in, unsigned long inLength,
                      unsigned char* out, unsigned long* outLength);
    int remoteDecryptOaep(const ImagePrivateKey& item, HashType hash, HashType mgfHash, const unsigned char* label,
                          unsigned long labelLength, const unsigned char* in, unsigned long inLength,
                          unsigned char* out, unsigned long* outLength);
    // Stores a key pair: generated by the card (key null) or imported as PKCS#8.
    int remoteKeyPair(uint32_t containerId, int keyPairFlags, EVP_PKEY* key, CardPrivateKeyRecord** privateKey,
                      CardPublicKeyRecord** publicKey);
    int remoteAddContainer(const std::string& nameUtf8, int type, int flags, CardContainerRecord** container);
    int remoteAddCertificate(int kind, const CardCertificate& certificate, uint32_t publicRecord,
                             CardCertificateRecord** record);
    int remoteAddFile(const std::string& nameUtf8, uint32_t containerId, int flags, const CardFileStorage& data,
                      CardFileStorageRecord** record);
    // PUT DATA of a record's label and identifier (kind: Apdu::ItemKind); a refused write
    // re-reads the mirror, which the caller may have edited in place.
    int remoteAttributes(int kind, uint32_t record, uint32_t second, const CardCommonAttribute& common);
    // Both halves of a key pair (either may be null) with the caller's attributes.
    int remoteKeyPairAttributes(const CardPrivateKeyRecord* privateKey, const CardPublicKeyRecord* publicKey);

    // Records by the pointer handed out, or else by their identifier.
    ImageContainer* container(const CardContainerRecord* record);
    ImageCertificate* certificate(const CardCertificateRecord* record);
    ImagePublicKey* publicKey(const CardPublicKeyRecord* record);
    ImagePrivateKey* privateKey(const CardPrivateKeyRecord* record);
    ImageFile* file(const CardFileStorageRecord* record);
    // Both halves of a key pair, either of which may be null (then its item is null too).
    // False when both are null or a given record is not on the card.
    bool keyPair(const CardPrivateKeyRecord* privateRecord, const CardPublicKeyRecord* publicRecord,
                 ImagePrivateKey** privateItem, ImagePublicKey** publicItem);
    CardContainerRecord* containerRecord(uint32_t containerId);

    // Holds the pair's lock for a call; with a file lock taken when the card is not open
    // (mutating calls), and the image brought up to date.
    class Scope {
    public:
        Scope(ReaderCardPair* pair, State* state, bool write);
        ~Scope();
        Scope(const Scope&) = delete;
        Scope& operator=(const Scope&) = delete;
        // 0 with a card image; CoreCardNotPresent without a card, CoreCardUnsupported for an
        // unreadable one.
        int Status() const;
        CardImage& Image() { return *state_->image; }

    private:
        ReaderCardPair* pair_;
        State* state_;
        bool tookFileLock_ = false;
        bool lockFailed_ = false;
    };
};

template <typename Signer, typename CardSigner>
int ReaderCardPair::State::signInto(Scope& scope, const ImagePrivateKey& item, const char* caller,
                                    unsigned char* signature, unsigned long* signatureLength, Signer sign,
                                    CardSigner onCard) {
    const unsigned long size = item.record.signatureLength;
    if (signature == nullptr || *signatureLength < size) {
        bool query = signature == nullptr;
        *signatureLength = size;
        return query ? CoreOk : CoreBufferTooSmall;
    }
    std::vector<unsigned char> out;
    if (remote) {
        int status = onCard(&out);
        if (status != CoreOk) return status;
    } else {
        PkeyPtr pkey;
        int status = unsealForUse(scope, item, caller, &pkey);
        if (status != CoreOk) return status;
        if (!sign(pkey.get(), &out)) return CoreInvalidArgument;
    }
    if (out.size() != size) return CoreInvalidArgument;
    std::memcpy(signature, out.data(), out.size());
    *signatureLength = out.size();
    return CoreOk;
}

}  // namespace Core
}  // namespace Vellumcrest
