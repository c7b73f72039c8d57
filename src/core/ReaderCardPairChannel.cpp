// Reader/card pairs whose card is reached through a CardChannel (the pcsc reader backend):
// presence, the card's identity and public image, Open/Close as a transaction.
//
// The card is authoritative: the pair keeps its public image, read again when GET DATA names
// another generation (another process wrote) or another card (syncRemote). Readings of
// several APDUs happen inside a transaction, so that no other process writes between them.
#include <string>

#include "core/CardPairState.h"
#include "core/Log.h"
#include "core/PcscChannel.h"

namespace Vellumcrest {
namespace Core {

void ReaderCardPair::State::attachChannel(std::unique_ptr<CardChannel> newChannel, PcscChannel* asPcsc) {
    channel = std::move(newChannel);
    pcsc = asPcsc;
    remote = std::make_unique<RemoteCard>(channel.get());
}

void ReaderCardPair::State::channelApplyReader(bool listed) {
    readerValid = listed;
    if (listed || openDepth > 0) return;
    if (pcsc != nullptr) pcsc->Disconnect();
    cardSeen = false;
    dropImage(CoreCardNotPresent, CardFileStamp());
}

void ReaderCardPair::State::channelSync(bool force) {
    // Inside a transaction no other process changes the card; a removal shows at the next
    // command. One look per locked span otherwise.
    if (openDepth > 0) return;
    if (!force && checkedInHold) return;
    if (holdDepth > 0) checkedInHold = true;
    if (pcsc != nullptr) {
        unsigned count = 0;
        switch (pcsc->Status(&count)) {
            case PcscChannel::Presence::Failed:
                return;  // the service stumbled: keep what is known, look again next time
            case PcscChannel::Presence::Gone:
                channelApplyReader(false);
                return;
            case PcscChannel::Presence::Empty:
                channelApplyReader(false);
                readerValid = true;
                return;
            case PcscChannel::Presence::Present:
                readerValid = true;
                if (!cardSeen || count != eventCount) {
                    // Inserted since the last look: the old connection and card are of no use.
                    pcsc->Disconnect();
                    dropImage(CoreCardNotPresent, CardFileStamp());
                    unsupportedLogged = false;
                    loggedSCardError = 0;
                    force = true;
                }
                cardSeen = true;
                eventCount = count;
                break;
        }
    }
    if (!readerValid) return;
    remoteSync(force);
    // Known once the card was connected to.
    if (pcsc != nullptr) pair->reader_.pinPad_ = pcsc->PinPad();
}

int ReaderCardPair::State::remoteSync(bool force) {
    if (!force && cardStatus == CoreCardUnsupported) return CoreCardUnsupported;  // until it is pulled
    if (force || cardStatus != CoreOk || !image) return remoteLoad(force);
    // The usual case, one GET DATA: the card as it was.
    RemoteIdentity now;
    int rc = remote->ReadIdentity(&now);
    if (rc == CoreOk && now.generation == image->generation && now.Identity() == image->Identity()) return CoreOk;
    if (rc == CoreCardNotPresent || rc == CoreSCardError) return noteChannelFailure(rc);
    if (rc == CoreOk) {
        rc = channel->BeginTransaction();
        if (rc == CoreOk) {
            rc = syncRemote(false);
            channel->EndTransaction();
        }
        if (rc == CoreOk) return CoreOk;
        if (rc == CoreCardNotPresent || rc == CoreSCardError) return noteChannelFailure(rc);
    }
    // Another card, or our application deselected by another process: select it again.
    return remoteLoad(false);
}

int ReaderCardPair::State::remoteLoad(bool force) {
    int rc = channel->BeginTransaction();
    if (rc != CoreOk) return noteChannelFailure(rc);
    RemoteIdentity identity;
    rc = remote->Select(&identity);
    // A card of this insertion that gives no usable answer to our SELECT is not one of ours.
    if (rc == CoreSCardError && pcsc != nullptr && cardStatus != CoreOk && PcscNoAnswer(channel->LastError()))
        rc = CoreCardUnsupported;
    if (rc == CoreOk) rc = syncRemote(force);
    channel->EndTransaction();
    return rc == CoreOk ? CoreOk : noteChannelFailure(rc);
}

int ReaderCardPair::State::noteChannelFailure(int rc) {
    switch (rc) {
        case CoreCardNotPresent:
            cardSeen = false;
            dropImage(CoreCardNotPresent, CardFileStamp());
            break;
        case CoreCardUnsupported:
            if (!unsupportedLogged)
                GetCoreLog()->Warning("ReaderCardPair: karta ve ctecce %s neni podporovana",
                                      pair->reader_.GetReaderName());
            unsupportedLogged = true;
            dropImage(CoreCardUnsupported, CardFileStamp());
            break;
        case CoreSCardError:
            pair->lastSCardError_ = channel->LastError();
            // Once per kind of failure: a reader that keeps failing is looked at by every call.
            if (pair->lastSCardError_ != loggedSCardError)
                GetCoreLog()->Error("ReaderCardPair: ctecka %s hlasi chybu 0x%lX", pair->reader_.GetReaderName(),
                                    pair->lastSCardError_);
            loggedSCardError = pair->lastSCardError_;
            // A card in use stays as it was (the failure may pass); one not yet read is read
            // again at the next look.
            if (cardStatus != CoreOk || !image) dropImage(CoreSCardError, CardFileStamp());
            break;
        default:
            if (openDepth == 0) dropImage(CoreCardUnsupported, CardFileStamp());
            break;
    }
    return rc;
}

int ReaderCardPair::State::channelOpen() {
    if (!readerValid) return CoreCardNotPresent;
    if (openDepth == 0) {
        int rc = channel->BeginTransaction();
        if (rc != CoreOk) return noteChannelFailure(rc);
        remote->SecurityStateUnknown();
        // Another process may have written since the last look.
        rc = remoteSync(false);
        if (rc == CoreOk && (cardStatus != CoreOk || !image)) rc = CoreCardUnsupported;
        if (rc != CoreOk) {
            channel->EndTransaction();
            return rc == CoreCardNotPresent || rc == CoreSCardError ? rc : CoreCardUnsupported;
        }
    }
    ++openDepth;
    return CoreOk;
}

void ReaderCardPair::State::channelClose() {
    if (openDepth == 0 || --openDepth > 0) return;
    forgetLogin();
    // The card forgets the PINs before another process gets it (unless Logout told it already).
    remote->ResetSecurityState();
    channel->EndTransaction();
}

int ReaderCardPair::State::channelLock() {
    int rc = channel->BeginTransaction();
    if (rc != CoreOk) return noteChannelFailure(rc);
    remote->SecurityStateUnknown();
    return CoreOk;
}

void ReaderCardPair::State::channelUnlock() {
    forgetLogin();
    remote->ResetSecurityState();
    channel->EndTransaction();
}

}  // namespace Core
}  // namespace Vellumcrest
