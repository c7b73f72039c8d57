// Reader/card pair: login, logout, setting, changing, resetting and deactivating the
// authentication codes, and erasing the card.
#include <cstring>

#include "core/CardPairState.h"
#include "core/Log.h"

namespace Vellumcrest {
namespace Core {

namespace {

const unsigned char kPinPadPlaceholder[] = {'n', 'o', 'n', 'e'};

bool validAuthId(int authId) { return authId >= CardAuthIdUser && authId <= CardAuthIdThird; }

}  // namespace

int ReaderCardPair::Login(int authId, const unsigned char* pin, unsigned long length) {
    State::Scope scope(this, state_.get(), true);
    int status = scope.Status();
    if (status != CoreOk) return status;
    if (!validAuthId(authId) || pin == nullptr || length == 0) return CoreInvalidArgument;
    CardImage& image = scope.Image();

    // The PIN pad "enters" the reader's configured PIN in place of the placeholder.
    std::string padPin;
    if (reader_.pinPad_ && length == sizeof kPinPadPlaceholder &&
        std::memcmp(pin, kPinPadPlaceholder, sizeof kPinPadPlaceholder) == 0) {
        if (!state_->hasPinPadPin) {
            GetCoreLog()->Info("ReaderCardPair::Login(): zadani PINu na ctecce %s zruseno", reader_.GetReaderName());
            return CoreCancelled;
        }
        padPin = state_->pinPadPin;
        pin = reinterpret_cast<const unsigned char*>(padPin.data());
        length = padPin.size();
    }
    if (state_->remote) {
        int rc = state_->remoteLogin(authId, pin, length);
        std::fill(padPin.begin(), padPin.end(), '\0');
        return rc;
    }

    SecureBytes kek;
    bool dirty = false;
    int rc = CardAuth::VerifyPin(image, authId, pin, length, &kek, &dirty);
    std::fill(padPin.begin(), padPin.end(), '\0');
    if (dirty && state_->commit() != CoreOk) {
        // An attempt that cannot be counted on the card must not count as an attempt.
        if (rc != CoreOk) return CoreIoError;
        GetCoreLog()->Warning("ReaderCardPair::Login(): pocet pokusu nelze obnovit");
    }
    if (rc != CoreOk) return rc;
    if (!state_->image) return CoreCardNotPresent;
    CardImage& current = *state_->image;
    state_->loggedIn[authId] = true;

    if (authId != CardAuthIdThird && state_->storageKey.empty()) {
        SecureBytes storage;
        if (CardAuth::UnwrapStorage(current, authId, kek, &storage)) {
            state_->storageKey = std::move(storage);
        } else if (CardAuth::StorageWithoutPin(current, &storage)) {
            // This code lost (or never had) its seal of the storage key: give it one.
            if (CardAuth::WrapStorage(current, authId, kek, storage)) {
                CardAuth::NormaliseStorage(current, &storage);
                if (state_->commit() != CoreOk) GetCoreLog()->Warning("ReaderCardPair::Login(): klic nelze zapsat");
            }
            state_->storageKey = std::move(storage);
        }
    }
    return CoreOk;
}

int ReaderCardPair::Logout() {
    LockGuard<ReaderCardPair> guard(*this);
    state_->forgetLogin();
    if (state_->remote) state_->remoteLogout();
    return CoreOk;
}

int ReaderCardPair::InitAuthCode(int authId, const unsigned char* pin, unsigned long length) {
    State::Scope scope(this, state_.get(), true);
    int status = scope.Status();
    if (status != CoreOk) return status;
    if (!validAuthId(authId) || pin == nullptr || length == 0) return CoreInvalidArgument;
    CardImage& image = scope.Image();
    CardPin* code = image.Pin(authId);
    if (code == nullptr) return CoreNotSupported;
    if (length < code->minLength || length > code->maxLength) return CoreInvalidArgument;
    // Setting a code that has a value is the security officer's business.
    if (code->initialised && !state_->loggedIn[CardAuthIdSo]) return CoreSecurityStatus;
    if (state_->remote) return state_->remoteWrote(state_->remote->SetReferenceData(authId, pin, length));

    SecureBytes storage;
    bool haveStorage = state_->storageForChange(&storage);
    if (!haveStorage && authId == CardAuthIdUser) {
        if (image.HasPrivateKeys()) {
            GetCoreLog()->Error("ReaderCardPair::InitAuthCode(): klic uloziste neni dostupny");
            return CoreSecurityStatus;
        }
        // Nothing is sealed under the old storage key: a new one replaces it.
        haveStorage = CardAuth::ReplaceStorageKey(image, &storage);
        if (!haveStorage) return CoreOutOfMemory;
    }
    if (!haveStorage && authId == CardAuthIdSo)
        GetCoreLog()->Warning("ReaderCardPair::InitAuthCode(): PIN 2 bez pristupu ke klici uloziste");
    int rc = CardAuth::SetPin(image, authId, pin, length, haveStorage ? &storage : nullptr);
    if (rc != CoreOk) {
        state_->reload();
        return rc;
    }
    CardAuth::NormaliseStorage(image, haveStorage ? &storage : nullptr);
    return state_->commit();
}

int ReaderCardPair::ChangeAuthCode(int authId, const unsigned char* oldPin, unsigned long oldLength,
                                   const unsigned char* newPin, unsigned long newLength) {
    State::Scope scope(this, state_.get(), true);
    int status = scope.Status();
    if (status != CoreOk) return status;
    if (!validAuthId(authId) || oldPin == nullptr || oldLength == 0 || newPin == nullptr || newLength == 0)
        return CoreInvalidArgument;
    if (state_->remote)
        return state_->remoteWrote(state_->remote->ChangeReferenceData(authId, oldPin, oldLength, newPin, newLength));
    CardImage& image = scope.Image();
    SecureBytes kek;
    bool dirty = false;
    int rc = CardAuth::VerifyPin(image, authId, oldPin, oldLength, &kek, &dirty);
    if (rc != CoreOk) {
        if (dirty && state_->commit() != CoreOk) return CoreIoError;
        return rc;
    }
    const CardPin* code = image.Pin(authId);
    if (newLength < code->minLength || newLength > code->maxLength) {
        if (dirty) state_->commit();
        return CoreInvalidArgument;
    }
    SecureBytes storage;
    bool haveStorage = CardAuth::UnwrapStorage(image, authId, kek, &storage) || state_->storageForChange(&storage);
    rc = CardAuth::SetPin(image, authId, newPin, newLength, haveStorage ? &storage : nullptr);
    if (rc != CoreOk) {
        state_->reload();
        return rc;
    }
    CardAuth::NormaliseStorage(image, haveStorage ? &storage : nullptr);
    return state_->commit();
}

int ReaderCardPair::ResetAuthCode(int authId, const unsigned char* soPin, unsigned long soLength,
                                  const unsigned char* newPin, unsigned long newLength) {
    State::Scope scope(this, state_.get(), true);
    int status = scope.Status();
    if (status != CoreOk) return status;
    if (soPin == nullptr || soLength == 0 || (newPin == nullptr && newLength != 0)) return CoreInvalidArgument;
    if (authId != CardAuthIdUser && authId != CardAuthIdThird) return CoreNotSupported;
    CardImage& image = scope.Image();
    CardPin* code = image.Pin(authId);
    if (code == nullptr) return CoreNotSupported;
    if (newPin != nullptr && (newLength < code->minLength || newLength > code->maxLength)) return CoreInvalidArgument;
    if (state_->remote)
        return state_->remoteWrote(state_->remote->ResetRetryCounter(authId, soPin, soLength, newPin, newLength));

    SecureBytes kek;
    bool dirty = false;
    int rc = CardAuth::VerifyPin(image, CardAuthIdSo, soPin, soLength, &kek, &dirty);
    if (rc != CoreOk) {
        if (dirty && state_->commit() != CoreOk) return CoreIoError;
        return rc;
    }
    SecureBytes storage;
    bool haveStorage =
        CardAuth::UnwrapStorage(image, CardAuthIdSo, kek, &storage) || state_->storageForChange(&storage);
    code = image.Pin(authId);
    if (newPin != nullptr) {
        rc = CardAuth::SetPin(image, authId, newPin, newLength, haveStorage ? &storage : nullptr);
    } else if (code->initialised) {
        // Without a new value the code returns to the card's initial PIN: a known state.
        rc = CardAuth::SetPin(image, authId, reinterpret_cast<const unsigned char*>(CardAuth::kInitialPin),
                              std::strlen(CardAuth::kInitialPin), haveStorage ? &storage : nullptr);
    } else {
        code->triesLeft = code->maxTries;
    }
    if (rc != CoreOk) {
        state_->reload();
        return rc;
    }
    if (!haveStorage && authId == CardAuthIdUser && image.HasPrivateKeys())
        GetCoreLog()->Warning("ReaderCardPair::ResetAuthCode(): klic uloziste neni dostupny");
    CardAuth::NormaliseStorage(image, haveStorage ? &storage : nullptr);
    return state_->commit();
}

int ReaderCardPair::DeactivateAuthCode(int authId) {
    State::Scope scope(this, state_.get(), true);
    int status = scope.Status();
    if (status != CoreOk) return status;
    if (!validAuthId(authId)) return CoreInvalidArgument;
    CardImage& image = scope.Image();
    CardPin* code = image.Pin(authId);
    if (code == nullptr || !code->initialised) return CoreOk;
    if (!state_->loggedIn[CardAuthIdSo]) return CoreSecurityStatus;
    if (state_->remote) return state_->remoteDeactivate(authId);
    SecureBytes storage;
    bool haveStorage = state_->storageForChange(&storage);
    CardAuth::Deactivate(image, authId);
    CardAuth::NormaliseStorage(image, haveStorage ? &storage : nullptr);
    state_->loggedIn[authId] = false;
    return state_->commit();
}

int ReaderCardPair::EraseCard(bool full) {
    State::Scope scope(this, state_.get(), true);
    int status = scope.Status();
    if (status != CoreOk) return status;
    if (!state_->loggedIn[CardAuthIdUser] && !state_->loggedIn[CardAuthIdSo]) return CoreSecurityStatus;
    if (state_->remote) return state_->remoteErase(full);
    CardImage& image = scope.Image();
    for (auto& item : image.certificates) state_->retire(std::move(item));
    for (auto& item : image.publicKeys) state_->retire(std::move(item));
    for (auto& item : image.privateKeys) state_->retire(std::move(item));
    for (auto& item : image.files) state_->retire(std::move(item));
    for (auto& item : image.containers) state_->retire(std::move(item));
    image.certificates.clear();
    image.publicKeys.clear();
    image.privateKeys.clear();
    image.files.clear();
    image.containers.clear();
    GetCoreLog()->Info("ReaderCardPair::EraseCard(%s): karta ve ctecce %s smazana", full ? "true" : "false",
                       reader_.GetReaderName());
    return state_->commit();
}

}  // namespace Core
}  // namespace Vellumcrest
