#include <new>

#include "core/CardPairState.h"

namespace Vellumcrest {
namespace Core {

Reader::~Reader() = default;

int Reader::UpdateReaderState(bool* changed) {
    if (changed == nullptr || pair_ == nullptr) return CoreInvalidArgument;
    ReaderCardPair::State* state = pair_->state_.get();
    LockGuard<ReaderCardPair> guard(*pair_);
    try {
        state->refreshReader();
        state->ensureFresh(false);
    } catch (const std::bad_alloc&) {
        return CoreOutOfMemory;
    }
    *changed = state->acknowledge();
    cardChanged_ = *changed;
    return CoreOk;
}

}  // namespace Core
}  // namespace Vellumcrest
