// Reader/card pair: what the card side of an APDU-speaking card needs beyond the card
// operations: a pair for a card image of its own, the card's identity, its public image and
// the state of its authentication codes.
#include <new>

#include "core/CardPairState.h"
#include "core/RemoteCard.h"

namespace Vellumcrest {
namespace Core {

namespace {

void fillIdentity(const CardImage& image, RemoteIdentity* identity) {
    if (identity == nullptr) return;
    identity->cardId = image.cardId;
    identity->insertionSerial = image.insertionSerial;
    identity->generation = image.generation;
    identity->type = image.type;
}

}  // namespace

std::unique_ptr<ReaderCardPair> ReaderCardPair::ForImage(const std::string& name, const std::string& imagePath) {
    auto pair = std::make_unique<ReaderCardPair>();
    pair->reader_.name_ = name;
    size_t slash = imagePath.find_last_of('/');
    pair->reader_.directory_ = slash == std::string::npos ? "." : imagePath.substr(0, slash == 0 ? 1 : slash);
    State& state = *pair->state_;
    state.readerValid = true;
    state.imagePath = imagePath;
    state.ensureFresh(true);
    state.acknowledge();
    return pair;
}

int ReaderCardPair::GetCardIdentity(RemoteIdentity* identity) {
    State::Scope scope(this, state_.get(), false);
    int status = scope.Status();
    if (status != CoreOk) return status;
    fillIdentity(scope.Image(), identity);
    return CoreOk;
}

int ReaderCardPair::GetPublicImage(std::vector<unsigned char>* bytes, RemoteIdentity* identity) {
    State::Scope scope(this, state_.get(), false);
    int status = scope.Status();
    if (status != CoreOk) return status;
    if (bytes == nullptr) return CoreInvalidArgument;
    try {
        *bytes = scope.Image().SerialisePublic();
    } catch (const std::bad_alloc&) {
        return CoreOutOfMemory;
    }
    fillIdentity(scope.Image(), identity);
    return CoreOk;
}

int ReaderCardPair::GetAuthCodeState(int authId, bool* initialised, int* triesLeft) {
    State::Scope scope(this, state_.get(), false);
    int status = scope.Status();
    if (status != CoreOk) return status;
    const CardPin* pin = scope.Image().Pin(authId);
    if (pin == nullptr) return CoreNotFound;
    if (initialised != nullptr) *initialised = pin->initialised;
    if (triesLeft != nullptr) *triesLeft = pin->triesLeft;
    return CoreOk;
}

CardContainerRecord* ReaderCardPair::FindCardContainerRecordById(uint32_t containerId) {
    State::Scope scope(this, state_.get(), false);
    if (scope.Status() != CoreOk) return nullptr;
    return state_->containerRecord(containerId);
}

}  // namespace Core
}  // namespace Vellumcrest
