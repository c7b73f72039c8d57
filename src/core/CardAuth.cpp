#include "core/CardAuth.h"

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/params.h>

#include <cstring>
#include <map>
#include <mutex>

#include "core/Log.h"

namespace Vellumcrest {
namespace Core {
namespace CardAuth {

namespace {

constexpr size_t kMemoLimit = 256;

struct MemoEntry {
    unsigned char pinMac[32];
    SecureBytes kek;
};

struct Memo {
    std::mutex mutex;
    bool keyed = false;
    unsigned char key[32];
    // HMAC-SHA256 under key with its pads computed: each MAC works on a copy (as every
    // signature logs in, the key set-up is not repeated). Null when it could not be made.
    EVP_MAC_CTX* keyedMac = nullptr;
    std::map<std::string, MemoEntry> entries;

    ~Memo() {
        OPENSSL_cleanse(key, sizeof key);
        EVP_MAC_CTX_free(keyedMac);
    }

    // The key is made once and never changes; the MAC itself is computed outside the lock,
    // so that logins on other cards (every signature logs in) do not wait for it.
    bool pinMac(const unsigned char* pin, size_t length, unsigned char out[32]) {
        {
            std::lock_guard<std::mutex> guard(mutex);
            if (!keyed) {
                if (!CardCrypto::RandomBytes(key, sizeof key)) return false;
                keyed = true;
                keyedMac = CardCrypto::NewKeyedHmacSha256(key, sizeof key);
            }
        }
        if (keyedMac == nullptr) return CardCrypto::HmacSha256(key, sizeof key, pin, length, out);
        EVP_MAC_CTX* ctx = EVP_MAC_CTX_dup(keyedMac);
        size_t size = 0;
        bool ok = ctx != nullptr && EVP_MAC_init(ctx, nullptr, 0, nullptr) == 1 &&
                  EVP_MAC_update(ctx, pin, length) == 1 && EVP_MAC_final(ctx, out, &size, 32) == 1 && size == 32;
        EVP_MAC_CTX_free(ctx);
        return ok;
    }

};

Memo& memo() {
    // Destroyed at unload or exit (the module makes it before its own objects).
    static Memo instance;
    return instance;
}

std::string memoPrefix(const std::string& cardId, int authId) {
    return cardId + "|" + std::to_string(authId) + "|";
}

std::string memoKey(const CardImage& image, int authId, const CardPin& pin) {
    return memoPrefix(image.cardId, authId) + std::to_string(pin.iterations) + "|" +
           CardCrypto::ToHex(pin.salt.data(), pin.salt.size());
}

std::string storageAad(const CardImage& image, int authId) {
    return "storage|" + image.cardId + "|" + std::to_string(authId) + "|" +
           CardCrypto::ToHex(image.storagePublic.data(), image.storagePublic.size());
}

void remember(const CardImage& image, int authId, const CardPin& pin, const unsigned char* value, size_t length,
              const SecureBytes& kek) {
    Memo& m = memo();
    MemoEntry entry;
    if (!m.pinMac(value, length, entry.pinMac)) return;
    entry.kek = kek;
    std::lock_guard<std::mutex> guard(m.mutex);
    // Older entries of the same code are stale: its salt changed.
    std::string prefix = memoPrefix(image.cardId, authId);
    for (auto it = m.entries.lower_bound(prefix); it != m.entries.end() && it->first.compare(0, prefix.size(), prefix) == 0;)
        it = m.entries.erase(it);
    if (m.entries.size() >= kMemoLimit) m.entries.erase(m.entries.begin());
    m.entries[memoKey(image, authId, pin)] = std::move(entry);
}

bool recall(const CardImage& image, int authId, const CardPin& pin, const unsigned char* value, size_t length,
            SecureBytes* kek) {
    Memo& m = memo();
    unsigned char mac[32];
    if (!m.pinMac(value, length, mac)) return false;
    std::string key = memoKey(image, authId, pin);
    std::lock_guard<std::mutex> guard(m.mutex);
    auto it = m.entries.find(key);
    if (it == m.entries.end() || !CardCrypto::Equal(mac, it->second.pinMac, sizeof mac)) return false;
    *kek = it->second.kek;
    return true;
}

bool deriveSecrets(const unsigned char* pin, size_t length, const CardPin& code, std::vector<unsigned char>* verifier,
                   SecureBytes* kek) {
    // Parsing refuses larger counts; this keeps any other image from stalling a login.
    if (code.iterations > kCardMaxPinIterations) return false;
    SecureBytes master;
    return CardCrypto::DerivePinMaster(pin, length, code.salt, code.iterations, &master) &&
           CardCrypto::PinVerifier(master, verifier) && CardCrypto::PinKek(master, kek);
}

}  // namespace

int VerifyPin(CardImage& image, int authId, const unsigned char* pin, size_t length, SecureBytes* kek, bool* dirty) {
    *dirty = false;
    kek->clear();
    if (pin == nullptr || length == 0) return CoreInvalidArgument;
    CardPin* code = image.Pin(authId);
    if (code == nullptr || !code->initialised) return CorePinNotInitialised;
    if (code->triesLeft == 0) return CorePinBlocked;
    // A PIN of a length the code cannot have is wrong without using up a try.
    if (length < code->minLength || length > code->maxLength) return CoreWrongPin;

    bool right = recall(image, authId, *code, pin, length, kek);
    if (!right) {
        std::vector<unsigned char> verifier;
        if (!deriveSecrets(pin, length, *code, &verifier, kek)) return CoreOutOfMemory;
        right = verifier.size() == code->verifier.size() &&
                CardCrypto::Equal(verifier.data(), code->verifier.data(), verifier.size());
        if (right) remember(image, authId, *code, pin, length, *kek);
    }
    if (!right) {
        kek->clear();
        --code->triesLeft;
        *dirty = true;
        GetCoreLog()->Warning("CardAuth: chybny PIN %d, zbyva pokusu: %u", authId,
                              static_cast<unsigned>(code->triesLeft));
        return CoreWrongPin;
    }
    if (code->triesLeft < code->maxTries) {
        code->triesLeft = code->maxTries;
        *dirty = true;
    }
    return CoreOk;
}

int SetPin(CardImage& image, int authId, const unsigned char* pin, size_t length, const SecureBytes* storagePrivate) {
    CardPin* code = image.Pin(authId);
    if (code == nullptr || pin == nullptr || length < code->minLength || length > code->maxLength)
        return CoreInvalidArgument;
    CardPin updated = *code;
    updated.salt = CardCrypto::RandomVector(CardCrypto::kSaltSize);
    updated.iterations = CardCrypto::kDefaultPinIterations;
    if (updated.salt.size() != CardCrypto::kSaltSize) return CoreOutOfMemory;
    SecureBytes kek;
    if (!deriveSecrets(pin, length, updated, &updated.verifier, &kek)) return CoreOutOfMemory;
    updated.initialised = true;
    updated.triesLeft = updated.maxTries;
    updated.storageWrap.clear();
    *code = updated;
    if (storagePrivate != nullptr && !storagePrivate->empty() && authId != CardAuthIdThird &&
        !WrapStorage(image, authId, kek, *storagePrivate))
        return CoreOutOfMemory;
    remember(image, authId, *code, pin, length, kek);
    return CoreOk;
}

void Deactivate(CardImage& image, int authId) {
    CardPin* code = image.Pin(authId);
    if (code == nullptr) return;
    code->initialised = false;
    code->iterations = 0;
    code->salt.clear();
    code->verifier.clear();
    code->storageWrap.clear();
    code->triesLeft = code->maxTries;
    ForgetMemo(image.cardId, authId);
}

bool UnwrapStorage(const CardImage& image, int authId, const SecureBytes& kek, SecureBytes* storagePrivate) {
    const CardPin* code = image.Pin(authId);
    if (code == nullptr || code->storageWrap.empty() || kek.size() != CardCrypto::kKeySize) return false;
    SecureBytes key;
    if (!CardCrypto::Open(kek.data(), code->storageWrap, storageAad(image, authId), &key) ||
        key.size() != CardCrypto::kKeySize)
        return false;
    *storagePrivate = std::move(key);
    return true;
}

bool WrapStorage(CardImage& image, int authId, const SecureBytes& kek, const SecureBytes& storagePrivate) {
    CardPin* code = image.Pin(authId);
    if (code == nullptr || kek.size() != CardCrypto::kKeySize || storagePrivate.size() != CardCrypto::kKeySize)
        return false;
    return CardCrypto::Seal(kek.data(), storagePrivate.data(), storagePrivate.size(), storageAad(image, authId),
                            &code->storageWrap);
}

bool MemoKek(const CardImage& image, int authId, SecureBytes* kek) {
    const CardPin* code = image.Pin(authId);
    if (code == nullptr || !code->initialised) return false;
    Memo& m = memo();
    std::lock_guard<std::mutex> guard(m.mutex);
    auto it = m.entries.find(memoKey(image, authId, *code));
    if (it == m.entries.end()) return false;
    *kek = it->second.kek;
    return true;
}

bool StorageWithoutPin(const CardImage& image, SecureBytes* storagePrivate) {
    if (image.storageOpen.size() == CardCrypto::kKeySize) {
        *storagePrivate = image.storageOpen;
        return true;
    }
    for (int authId = CardAuthIdUser; authId <= CardAuthIdSo; ++authId) {
        SecureBytes kek;
        if (MemoKek(image, authId, &kek) && UnwrapStorage(image, authId, kek, storagePrivate)) return true;
    }
    return false;
}

void NormaliseStorage(CardImage& image, const SecureBytes* storagePrivate) {
    bool sealed = false;
    for (int authId = CardAuthIdUser; authId <= CardAuthIdSo; ++authId) {
        const CardPin* code = image.Pin(authId);
        if (code != nullptr && code->initialised && !code->storageWrap.empty()) sealed = true;
    }
    if (sealed) {
        image.storageOpen.clear();
    } else if (image.storageOpen.empty() && storagePrivate != nullptr &&
               storagePrivate->size() == CardCrypto::kKeySize) {
        image.storageOpen = *storagePrivate;
    }
}

bool ReplaceStorageKey(CardImage& image, SecureBytes* storagePrivate) {
    SecureBytes keys[4];
    bool known[4] = {};
    for (int authId = CardAuthIdUser; authId <= CardAuthIdSo; ++authId) known[authId] = MemoKek(image, authId, &keys[authId]);
    SecureBytes fresh;
    std::vector<unsigned char> freshPublic;
    if (!CardCrypto::GenerateStorageKey(&fresh, &freshPublic)) return false;
    image.storagePublic = freshPublic;
    image.storageOpen.clear();
    for (int authId = CardAuthIdUser; authId <= CardAuthIdSo; ++authId) {
        CardPin* code = image.Pin(authId);
        if (code == nullptr) continue;
        code->storageWrap.clear();
        if (code->initialised && known[authId]) WrapStorage(image, authId, keys[authId], fresh);
    }
    *storagePrivate = std::move(fresh);
    return true;
}

void ForgetMemo(const std::string& cardId, int authId) {
    Memo& m = memo();
    std::lock_guard<std::mutex> guard(m.mutex);
    std::string prefix = memoPrefix(cardId, authId);
    for (auto it = m.entries.lower_bound(prefix); it != m.entries.end() && it->first.compare(0, prefix.size(), prefix) == 0;)
        it = m.entries.erase(it);
}

void ClearMemo() {
    Memo& m = memo();
    std::lock_guard<std::mutex> guard(m.mutex);
    m.entries.clear();
}

}  // namespace CardAuth
}  // namespace Core
}  // namespace Vellumcrest
