#include "core/UnsealedKeys.h"

#include <openssl/evp.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace Vellumcrest {
namespace Core {

namespace {

// Every store of the process, for WipeAllUnsealedKeys.
struct Registry {
    std::mutex mutex;
    std::vector<UnsealedKeys*> stores;
};

Registry& registry() {
    static Registry instance;  // built before the module's objects, destroyed after them
    return instance;
}

// OpenSSL registers its own clean-up at exit when it starts; a handler registered after that
// (at the first kept key) runs before it, so no key is freed after OpenSSL is gone. In a
// library that is unloaded earlier, the handler runs at the unload.
void wipeAtExit() {
    static std::once_flag once;
    std::call_once(once, [] { std::atexit(WipeAllUnsealedKeys); });
}

}  // namespace

UnsealedKeys::UnsealedKeys() {
    Registry& r = registry();
    std::lock_guard<std::mutex> guard(r.mutex);
    r.stores.push_back(this);
}

UnsealedKeys::~UnsealedKeys() {
    Wipe();
    Registry& r = registry();
    std::lock_guard<std::mutex> guard(r.mutex);
    r.stores.erase(std::remove(r.stores.begin(), r.stores.end(), this), r.stores.end());
}

EVP_PKEY* UnsealedKeys::Find(uint32_t recordId, const std::vector<unsigned char>& sealedForm) {
    std::lock_guard<std::mutex> guard(mutex_);
    for (const Entry& entry : entries_) {
        if (entry.recordId != recordId || entry.sealedForm != sealedForm) continue;
        return EVP_PKEY_up_ref(entry.key) == 1 ? entry.key : nullptr;
    }
    return nullptr;
}

void UnsealedKeys::Keep(uint32_t recordId, const std::vector<unsigned char>& sealedForm, EVP_PKEY* key) {
    if (key == nullptr) return;
    wipeAtExit();
    try {
        std::lock_guard<std::mutex> guard(mutex_);
        for (Entry& entry : entries_) {
            if (entry.recordId != recordId) continue;
            if (EVP_PKEY_up_ref(key) != 1) return;
            EVP_PKEY_free(entry.key);
            entry.key = key;
            entry.sealedForm = sealedForm;
            return;
        }
        entries_.push_back(Entry{recordId, sealedForm, nullptr});
        if (EVP_PKEY_up_ref(key) != 1) {
            entries_.pop_back();
            return;
        }
        entries_.back().key = key;
    } catch (const std::bad_alloc&) {
        // Not kept: the next operation unseals the key again.
    }
}

void UnsealedKeys::Wipe() {
    std::vector<Entry> entries;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        entries.swap(entries_);
    }
    for (Entry& entry : entries) EVP_PKEY_free(entry.key);
}

void WipeAllUnsealedKeys() {
    Registry& r = registry();
    std::lock_guard<std::mutex> guard(r.mutex);
    for (UnsealedKeys* store : r.stores) store->Wipe();
}

}  // namespace Core
}  // namespace Vellumcrest
