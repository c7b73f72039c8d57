// Authentication codes of a card image: salted PBKDF2 verifiers with persistent retry
// counters, and the card's storage key, sealed under a key derived from each PIN.
//
// A per-process memo remembers, for (card, code, salt), a keyed hash of a PIN that was
// verified and the key encryption key it gave, so that repeated logins with the same PIN
// (every signature logs in again) do not pay the key derivation again. A new PIN value
// comes with a new salt, which makes the old entry unreachable.
#pragma once

#include <string>

#include "core/CardImage.h"

namespace Vellumcrest {
namespace Core {
namespace CardAuth {

// PIN that a reset without a new value gives the code: the card's initial PIN.
constexpr const char* kInitialPin = "47210935";

// Checks pin against the code. On success *kek is its key encryption key. A wrong PIN
// uses up a try; a right one restores the tries. *dirty tells that counters changed and
// the image must be written. 0, CoreWrongPin, CorePinBlocked, CorePinNotInitialised,
// CoreInvalidArgument.
int VerifyPin(CardImage& image, int authId, const unsigned char* pin, size_t length, SecureBytes* kek, bool* dirty);

// Sets a new value (new salt), restores the tries and, with storagePrivate, seals the
// storage key for this code (codes 1 and 2 only). 0, CoreInvalidArgument (length outside
// the code's limits, unknown code), CoreOutOfMemory.
int SetPin(CardImage& image, int authId, const unsigned char* pin, size_t length, const SecureBytes* storagePrivate);

// The code loses its value; its tries are restored.
void Deactivate(CardImage& image, int authId);

// Storage private key through the code's seal; false when it has none or it does not open.
bool UnwrapStorage(const CardImage& image, int authId, const SecureBytes& kek, SecureBytes* storagePrivate);
bool WrapStorage(CardImage& image, int authId, const SecureBytes& kek, const SecureBytes& storagePrivate);
// Storage private key without a PIN: the open one, or through a memo entry of this card.
bool StorageWithoutPin(const CardImage& image, SecureBytes* storagePrivate);
// Key encryption key of a code from the memo (after a verification in this process).
bool MemoKek(const CardImage& image, int authId, SecureBytes* kek);

// Keeps the storage key in the clear only while no PIN holds it: drops the open copy
// when a code has a seal, and puts storagePrivate there when none has one.
void NormaliseStorage(CardImage& image, const SecureBytes* storagePrivate);

// A new storage key pair (for a card without private keys); seals it for each code whose
// key encryption key is known from the memo and drops the other seals. The new private key
// is returned.
bool ReplaceStorageKey(CardImage& image, SecureBytes* storagePrivate);

void ForgetMemo(const std::string& cardId, int authId);
// Drops the whole memo (tests).
void ClearMemo();

}  // namespace CardAuth
}  // namespace Core
}  // namespace Vellumcrest
