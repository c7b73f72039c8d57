#include "core/CardPairState.h"
#include "core/Config.h"

namespace Vellumcrest {
namespace Core {

Reader::~Reader() = default;

int Reader::UpdateReaderState(bool* changed) {
    if (changed == nullptr || pair_ == nullptr) return CoreInvalidArgument;
    ReaderCardPair::State* state = pair_->state_.get();
    pair_->Lock();
    // The reader is found again by name: its directory may have been made anew.
    ReaderEntry entry;
    bool found = ReadReaderConf(directory_, &entry) && entry.name == name_;
    if (!found) found = FindReader(GetConfigGlobal()->GetReadersDir(), name_, &entry);
    state->applyReader(found ? &entry : nullptr);
    state->ensureFresh(false);
    std::string identity = state->currentIdentity();
    *changed = identity != state->ackIdentity;
    cardChanged_ = *changed;
    state->ackIdentity = identity;
    pair_->Unlock();
    return CoreOk;
}

}  // namespace Core
}  // namespace Vellumcrest
