// Card work of the login and PIN functions: opens the card with authentication APDUs
// switched off and, on every path, restores the setting and closes the card.
#pragma once

#include "core/Reader.h"
#include "vellumcrest/pkcs11.h"

namespace Vellumcrest {
namespace Pkcs11 {

class CardFrame {
public:
    explicit CardFrame(Core::ReaderCardPair* pair) : pair_(pair) {
        opened_ = pair_ != nullptr && pair_->Open() == 0;
        if (opened_) {
            authApdu_ = pair_->IsAuthAPDUEnabled();
            pair_->SetAuthAPDUEnabled(false);
        }
    }
    ~CardFrame() {
        if (!opened_) return;
        pair_->SetAuthAPDUEnabled(authApdu_);
        pair_->Close();
    }
    CardFrame(const CardFrame&) = delete;
    CardFrame& operator=(const CardFrame&) = delete;

    bool IsOpen() const { return opened_; }

private:
    Core::ReaderCardPair* pair_;
    bool opened_ = false;
    bool authApdu_ = true;
};

// Result of a card call that sets or changes a PIN: wrong PIN, PIN not initialised, PIN
// blocked and no card have their own results; a reader failure or any other code is
// written to the log and gives CKR_FUNCTION_FAILED.
CK_RV PinChangeResult(Core::ReaderCardPair* pair, int result);

}  // namespace Pkcs11
}  // namespace Vellumcrest
