// Reader/card pair: lifetime, locking, loading of the card image, Open/Close and the
// card information.
#include <cstring>

#include <new>

#include "core/CardPairState.h"
#include "core/Config.h"
#include "core/Log.h"

namespace Vellumcrest {
namespace Core {

// ---- State ---------------------------------------------------------------------------

ReaderCardPair::State::State(ReaderCardPair* owner) : pair(owner) {
    dataContainer.containerId = ContainerId_DATA;
    dataContainer.type = CardObjectTypeData;
}

void ReaderCardPair::State::applyReader(const ReaderEntry* entry) {
    if (channel) return channelApplyReader(entry != nullptr);
    Reader& reader = pair->reader_;
    readerMark = cardMark = contentMark = WatchMark();
    if (entry == nullptr) {
        readerValid = false;
        hasPinPadPin = false;
        pinPadPin.clear();
        confStamp = CardFileStamp();
        if (openDepth == 0) dropImage(CoreCardNotPresent, CardFileStamp());
        return;
    }
    readerValid = true;
    reader.directory_ = entry->directory;
    reader.pinPad_ = entry->pinPad;
    hasPinPadPin = entry->hasPinPadPin;
    pinPadPin = entry->pinPadPin;
    imagePath = entry->ImagePath();
    confStamp = entry->confStamp;
    readersDirStamp = CardFileStamp();
}

void ReaderCardPair::State::refreshReader() {
    if (channel) return;  // the presence query of ensureFresh also tells whether the reader is there
    const Reader& reader = pair->reader_;
    if (readerValid) {
        if (quietSince(readerMark)) return;
        const std::string directory = reader.directory_;
        WatchMark mark = MarkDirectory(directory, kReaderConfFileName);
        drainedInHold = drainedInHold || mark.Valid();
        CardFileStamp now = StatCardFile(directory + "/" + kReaderConfFileName);
        if (now.exists && now == confStamp) {
            readerMark = mark;
            return;
        }
        ReaderEntry entry;
        if (ReadReaderConf(directory, &entry) && entry.name == reader.name_) {
            applyReader(&entry);
            readerMark = mark;
            return;
        }
    }
    // Gone from its directory: the reader may live on in another one (made anew, or renamed
    // into it). Searching needs a scan, which only a change of the readers directory can make
    // worth repeating.
    const std::string readersDir = GetConfigGlobal()->GetReadersDir();
    CardFileStamp dirNow = DirectoryStamp(readersDir);
    if (!readerValid && dirNow.exists && dirNow == readersDirStamp) return;
    ReaderEntry entry;
    bool found = FindReader(readersDir, reader.name_, &entry);
    applyReader(found ? &entry : nullptr);
    if (!found) readersDirStamp = dirNow;
}

bool ReaderCardPair::State::acknowledge() {
    if (cardStatus == CoreOk && image && image->HasIdentity(ackIdentity)) return false;  // the usual case
    std::string identity = currentIdentity();
    bool changed = identity != ackIdentity;
    ackIdentity = identity;
    return changed;
}

void ReaderCardPair::State::ensureFresh(bool force) {
    if (channel) return channelSync(force);
    if (!readerValid) {
        if (openDepth == 0) dropImage(CoreCardNotPresent, CardFileStamp());
        return;
    }
    // While the card is open under the file lock no other writer can change it.
    if (openDepth > 0 && fileLock.Held()) return;
    const bool locked = fileLock.Held();
    if (!force && cardStatus != CoreIoError) {
        // Under the lock a write follows: the image must be the file's content. The queue read
        // after the lock was taken shows any write before it; a directory quiet since the image
        // was read, written or proven keeps it the file's, else only the checksum proves it.
        QueueRead read = fileLock.QueueReadUnderLock() ? QueueRead::No : QueueRead::Always;
        if (locked ? DirectoryQuiet(contentMark, read) : quietSince(cardMark)) return;
    }
    WatchMark mark = MarkDirectory(pair->reader_.directory_, kCardImageFileName);
    drainedInHold = drainedInHold || mark.Valid();
    if (!force && cardStatus != CoreIoError) {
        CardFileStamp now = StatCardFile(imagePath);
        bool same = now == stamp && (locked && now.exists ? CardFileHoldsVersion(imagePath, stamp) : true);
        if (same && (now.exists || cardStatus == CoreCardNotPresent)) {
            cardMark = mark;
            if (locked) contentMark = mark;
            return;
        }
    }
    reload();
    cardMark = contentMark = cardStatus != CoreIoError ? mark : WatchMark();
}

bool ReaderCardPair::State::quietSince(const WatchMark& mark) {
    bool quiet = DirectoryQuiet(mark, drainedInHold ? QueueRead::No : QueueRead::OncePerCall);
    drainedInHold = drainedInHold || mark.Valid();
    return quiet;
}

void ReaderCardPair::State::reload() {
    std::unique_ptr<CardImage> fresh;
    CardFileStamp freshStamp;
    int rc = ReadCardImage(imagePath, &fresh, &freshStamp);
    if (rc != CoreOk) {
        if (rc == CoreCardUnsupported)
            GetCoreLog()->Error("ReaderCardPair: karta ve ctecce %s je necitelna nebo poskozena",
                                pair->reader_.GetReaderName());
        dropImage(rc, freshStamp);
        return;
    } else {
        retire(std::move(image));
        image = std::move(fresh);
        cardStatus = CoreOk;
        stamp = freshStamp;
    }
    if (currentIdentity() != loadedIdentity) cardSwitched();
}

void ReaderCardPair::State::dropImage(int status, const CardFileStamp& newStamp) {
    retire(std::move(image));
    image.reset();
    cardStatus = status;
    stamp = newStamp;
    if (currentIdentity() != loadedIdentity) cardSwitched();
}

void ReaderCardPair::State::cardSwitched() {
    loadedIdentity = currentIdentity();
    forgetLogin();
    pair->pinCache_.Clear();
}

void ReaderCardPair::State::forgetLogin() {
    for (bool& flag : loggedIn) flag = false;
    storageKey.clear();
}

std::string ReaderCardPair::State::currentIdentity() const {
    if (cardStatus == CoreOk && image) return image->Identity();
    // A card that cannot be used is told apart from the next one by its insertion.
    if (channel) return cardStatus == CoreCardNotPresent ? std::string() : "?" + std::to_string(eventCount);
    if (cardStatus == CoreCardNotPresent || !stamp.exists) return std::string();
    return UnreadableIdentity(stamp);
}

int ReaderCardPair::State::commit() {
    if (!image) return CoreCardNotPresent;
    CardFileStamp written;
    int rc = WriteCardImage(imagePath, *image, &written);
    if (rc == CoreOk) {
        stamp = written;
        return CoreOk;
    }
    GetCoreLog()->Error("ReaderCardPair: kartu ve ctecce %s nelze zapsat", pair->reader_.GetReaderName());
    reload();
    return CoreIoError;
}

void ReaderCardPair::State::fillInfo() {
    std::memset(&info, 0, sizeof info);
    if (!image) return;
    const CardImage& card = *image;
    info.firmwareMajor = card.firmwareMajor;
    info.firmwareMinor = card.firmwareMinor;
    std::strncpy(info.cardId, card.cardId.c_str(), sizeof info.cardId - 1);
    std::strncpy(info.model, card.model.c_str(), sizeof info.model - 1);
    const CardPin* user = card.Pin(CardAuthIdUser);
    const CardPin* so = card.Pin(CardAuthIdSo);
    info.tokenInitialized = so != nullptr && so->initialised ? 1 : 0;
    info.userPinInitialized = user != nullptr && user->initialised ? 1 : 0;
    info.userPinBlocked = user != nullptr && user->Blocked() ? 1 : 0;
    info.soPinBlocked = so != nullptr && so->Blocked() ? 1 : 0;
    info.userPinTriesLeft = user != nullptr ? user->triesLeft : 0;
    info.soPinTriesLeft = so != nullptr ? so->triesLeft : 0;
    info.authCode3ResetEnabled =
        (card.flags & CardImageFlagThirdCode) != 0 && card.Pin(CardAuthIdThird) != nullptr ? 1 : 0;
    info.totalPublicMemory = static_cast<int32_t>(card.totalMemory);
    long free = card.FreeMemory();
    info.freePublicMemory = static_cast<int32_t>(free < 0 ? 0 : free);
    info.pin1MinLen = user != nullptr ? user->minLength : 4;
    info.pin1MaxLen = user != nullptr ? user->maxLength : 12;
    info.pin2MinLen = so != nullptr ? so->minLength : 4;
    info.pin2MaxLen = so != nullptr ? so->maxLength : 12;
}

bool ReaderCardPair::State::storageForChange(SecureBytes* storage) {
    if (storageKey.size() == CardCrypto::kKeySize) {
        *storage = storageKey;
        return true;
    }
    return image && CardAuth::StorageWithoutPin(*image, storage);
}

namespace {
template <typename Item, typename Record>
Item* resolve(std::vector<std::unique_ptr<Item>>& items, Item* byId, const Record* record) {
    if (record == nullptr) return nullptr;
    if (byId != nullptr && &byId->record == record) return byId;  // the usual case, without a walk
    for (auto& item : items)
        if (&item->record == record) return item.get();
    for (auto& item : items)
        if (item->record.recordId == record->recordId) return item.get();
    return nullptr;
}
}  // namespace

ImageContainer* ReaderCardPair::State::container(const CardContainerRecord* record) {
    if (record == nullptr || !image) return nullptr;
    for (auto& item : image->containers)
        if (&item->record == record) return item.get();
    return image->FindContainer(record->containerId);
}

ImageCertificate* ReaderCardPair::State::certificate(const CardCertificateRecord* record) {
    return image ? resolve(image->certificates, record != nullptr ? image->FindCertificate(record->recordId) : nullptr,
                           record)
                 : nullptr;
}

ImagePublicKey* ReaderCardPair::State::publicKey(const CardPublicKeyRecord* record) {
    return image ? resolve(image->publicKeys, record != nullptr ? image->FindPublicKey(record->recordId) : nullptr,
                           record)
                 : nullptr;
}

ImagePrivateKey* ReaderCardPair::State::privateKey(const CardPrivateKeyRecord* record) {
    return image ? resolve(image->privateKeys, record != nullptr ? image->FindPrivateKey(record->recordId) : nullptr,
                           record)
                 : nullptr;
}

bool ReaderCardPair::State::keyPair(const CardPrivateKeyRecord* privateRecord,
                                    const CardPublicKeyRecord* publicRecord, ImagePrivateKey** privateItem,
                                    ImagePublicKey** publicItem) {
    if (privateRecord == nullptr && publicRecord == nullptr) return false;
    *privateItem = privateRecord != nullptr ? privateKey(privateRecord) : nullptr;
    *publicItem = publicRecord != nullptr ? publicKey(publicRecord) : nullptr;
    return (privateRecord == nullptr || *privateItem != nullptr) && (publicRecord == nullptr || *publicItem != nullptr);
}

ImageFile* ReaderCardPair::State::file(const CardFileStorageRecord* record) {
    return image ? resolve(image->files, record != nullptr ? image->FindFile(record->recordId) : nullptr, record)
                 : nullptr;
}

CardContainerRecord* ReaderCardPair::State::containerRecord(uint32_t containerId) {
    if (CardContent::IsDataContainer(containerId)) return &dataContainer;
    if (!image) return nullptr;
    ImageContainer* item = image->FindContainer(containerId);
    return item != nullptr ? &item->record : nullptr;
}

// A write changes the newest image under the cross-process lock or not at all.
ReaderCardPair::State::Scope::Scope(ReaderCardPair* pair, State* state, bool write) : pair_(pair), state_(state) {
    pair_->Lock();
    try {
        if (state_->channel) {
            if (write && state_->readerValid && state_->openDepth == 0) {
                int rc = state_->channelLock();
                tookFileLock_ = rc == CoreOk;
                lockFailed_ = rc == CoreSCardError;
            }
            // Under the transaction the card is asked whether another process wrote.
            if (tookFileLock_) state_->remoteSync(false);
            else if (!state_->checkedInHold) state_->ensureFresh(false);
            state_->checkedInHold = true;
            return;
        }
        if (write && state_->readerValid && !state_->fileLock.Held()) {
            tookFileLock_ = state_->fileLock.Lock(state_->imagePath) == CoreOk;
            lockFailed_ = !tookFileLock_;
            if (lockFailed_)
                GetCoreLog()->Error("ReaderCardPair: zamek karty ve ctecce %s nelze ziskat",
                                    pair_->reader_.GetReaderName());
        }
        // One look at the file per locked span (a call that holds the pair sees one version
        // of the card, and loading many records costs one stat); a change under the file
        // lock always looks.
        if (tookFileLock_ || !state_->checkedInHold) {
            state_->ensureFresh(false);
            state_->checkedInHold = true;
        }
    } catch (...) {
        // No destructor runs for a constructor that throws: release here.
        if (tookFileLock_) state_->channel ? state_->channelUnlock() : state_->fileLock.Unlock();
        pair_->Unlock();
        throw;
    }
}

ReaderCardPair::State::Scope::~Scope() {
    if (tookFileLock_) state_->channel ? state_->channelUnlock() : state_->fileLock.Unlock();
    pair_->Unlock();
}

int ReaderCardPair::State::Scope::Status() const {
    if (!state_->readerValid) return CoreCardNotPresent;
    if (lockFailed_) return state_->channel ? CoreSCardError : CoreIoError;
    if (state_->cardStatus == CoreOk && state_->image) return CoreOk;
    return state_->cardStatus == CoreCardNotPresent ? CoreCardNotPresent : CoreCardUnsupported;
}

// ---- Pair ----------------------------------------------------------------------------

ReaderCardPair::ReaderCardPair() : state_(new State(this)) { reader_.pair_ = this; }

ReaderCardPair::~ReaderCardPair() {
    state_->fileLock.Unlock();
    state_->forgetLogin();
}

void ReaderCardPair::Lock() {
    lock_.Lock();
    noteLocked();
}

bool ReaderCardPair::TryLock() {
    if (!lock_.TryLock()) return false;
    noteLocked();
    return true;
}

void ReaderCardPair::noteLocked() {
    if (state_->holdDepth.fetch_add(1) == 0) state_->holder = std::this_thread::get_id();
}

void ReaderCardPair::Unlock() {
    // An Unlock by a thread that does not hold the pair would release someone else's lock.
    if (state_->holdDepth <= 0 || state_->holder != std::this_thread::get_id()) {
        GetCoreLog()->Error("ReaderCardPair::Unlock(): zamek nedrzi volajici vlakno");
        return;
    }
    if (state_->holdDepth.fetch_sub(1) == 1) {
        state_->retired.clear();
        state_->checkedInHold = false;
        state_->drainedInHold = false;
        state_->holder = std::thread::id();
    }
    lock_.Unlock();
}

bool ReaderCardPair::IsValidReader() {
    LockGuard<ReaderCardPair> guard(*this);
    return state_->readerValid;
}

unsigned long ReaderCardPair::GetLastSCardError() const {
    // The channel knows the code of the last failure of any command sent through it.
    if (state_->channel && state_->channel->LastError() != 0) return state_->channel->LastError();
    return lastSCardError_;
}

bool ReaderCardPair::IsSupportedCardPresent() { return GetCardType() != 0; }

bool ReaderCardPair::IsUnrecognisedCardPresent() {
    LockGuard<ReaderCardPair> guard(*this);
    return state_->readerValid && state_->cardStatus == CoreCardUnsupported;
}

Reader* ReaderCardPair::GetReader() { return &reader_; }

int ReaderCardPair::GetCardType() {
    LockGuard<ReaderCardPair> guard(*this);
    return state_->readerValid && state_->cardStatus == CoreOk && state_->image ? state_->image->type : 0;
}

int ReaderCardPair::Refresh() {
    LockGuard<ReaderCardPair> guard(*this);
    try {
        state_->refreshReader();
        state_->ensureFresh(false);
        return CoreOk;
    } catch (const std::bad_alloc&) {
        return CoreOutOfMemory;
    }
}

const CardInfo* ReaderCardPair::GetCardInfo(bool refresh) {
    LockGuard<ReaderCardPair> guard(*this);
    if (refresh) state_->ensureFresh(false);
    if (!state_->readerValid || state_->cardStatus != CoreOk || !state_->image) return nullptr;
    state_->fillInfo();
    return &state_->info;
}

int ReaderCardPair::Open() {
    LockGuard<ReaderCardPair> guard(*this);
    if (state_->channel) return state_->channelOpen();
    if (!state_->readerValid) return CoreCardNotPresent;
    if (state_->openDepth == 0) {
        if (state_->fileLock.Lock(state_->imagePath) != CoreOk)
            GetCoreLog()->Warning("ReaderCardPair::Open(): zamek karty ve ctecce %s nelze ziskat",
                                  reader_.GetReaderName());
        try {
            state_->ensureFresh(false);
        } catch (...) {
            state_->fileLock.Unlock();
            throw;
        }
        if (state_->cardStatus != CoreOk || !state_->image) {
            state_->fileLock.Unlock();
            return state_->cardStatus == CoreCardNotPresent ? CoreCardNotPresent : CoreCardUnsupported;
        }
    }
    ++state_->openDepth;
    return CoreOk;
}

int ReaderCardPair::Close() {
    LockGuard<ReaderCardPair> guard(*this);
    if (state_->channel) {
        state_->channelClose();
        return CoreOk;
    }
    if (state_->openDepth > 0 && --state_->openDepth == 0) {
        state_->forgetLogin();
        state_->fileLock.Unlock();
    }
    return CoreOk;
}

}  // namespace Core
}  // namespace Vellumcrest
