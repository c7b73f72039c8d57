// Private keys of a card kept unsealed between private-key operations (card core internal).
//
// A reader/card pair's PIN cache owns one store and wipes it whenever the PIN changes hands:
// on every write and clear (login, logout, PIN change, card removed or changed) and when the
// pair is destroyed. The store only saves the unsealing: every use still needs the card to
// be logged in for that call. WipeAllUnsealedKeys empties every store (C_Finalize, and at
// exit before OpenSSL is cleaned up).
#pragma once

#include <cstdint>
#include <mutex>
#include <vector>

typedef struct evp_pkey_st EVP_PKEY;

namespace Vellumcrest {
namespace Core {

class UnsealedKeys {
public:
    UnsealedKeys();
    ~UnsealedKeys();
    UnsealedKeys(const UnsealedKeys&) = delete;
    UnsealedKeys& operator=(const UnsealedKeys&) = delete;

    // The key unsealed from this sealed form of record recordId, with a reference for the
    // caller (EVP_PKEY_free), or null.
    EVP_PKEY* Find(uint32_t recordId, const std::vector<unsigned char>& sealedForm);
    // Keeps key (takes a reference of its own) in place of any earlier one of the record.
    void Keep(uint32_t recordId, const std::vector<unsigned char>& sealedForm, EVP_PKEY* key);
    // Frees every key (RSA components are cleared as they are freed).
    void Wipe();

private:
    struct Entry {
        uint32_t recordId;
        std::vector<unsigned char> sealedForm;
        EVP_PKEY* key;
    };
    std::mutex mutex_;
    std::vector<Entry> entries_;
};

void WipeAllUnsealedKeys();

}  // namespace Core
}  // namespace Vellumcrest
