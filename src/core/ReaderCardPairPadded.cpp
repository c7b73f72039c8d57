// Reader/card pair: the private-key operations with RSA-PSS and RSA-OAEP padding. Like
// Sign and Decrypt, they run on the unsealed key inside the card core and need the key's login.
#include <cstring>

#include "core/CardPairState.h"
#include "core/Log.h"

namespace Vellumcrest {
namespace Core {

namespace {

constexpr int kSignUsage = KeyPairFlagSign | KeyPairFlagEsign | KeyPairFlagApplication;

unsigned long digestSize(HashType hash) {
    switch (hash) {
    case HashTypeSha1: return 20;
    case HashTypeSha224: return 28;
    case HashTypeSha256: return 32;
    case HashTypeSha384: return 48;
    case HashTypeSha512: return 64;
    default: return 0;
    }
}

}  // namespace

int ReaderCardPair::SignPss(const CardPrivateKeyRecord* key, HashType hash, HashType mgfHash,
                            unsigned long saltLength, const unsigned char* digest, unsigned long digestLength,
                            unsigned char* signature, unsigned long* signatureLength) {
    State::Scope scope(this, state_.get(), false);
    int status = scope.Status();
    if (status != CoreOk) return status;
    if (key == nullptr || digest == nullptr || signatureLength == nullptr) return CoreInvalidArgument;
    unsigned long hashLength = digestSize(hash);
    if (hashLength == 0 || digestSize(mgfHash) == 0 || digestLength != hashLength) return CoreInvalidArgument;
    ImagePrivateKey* item = state_->privateKey(key);
    if (item == nullptr) return CoreInvalidArgument;
    if ((item->record.keyPairFlags & kSignUsage) == 0) return CoreNotSupported;
    unsigned long size = item->record.signatureLength;
    // The encoded message of a whole-byte modulus: hash, salt and two bytes of framing.
    if (size < hashLength + 2 || saltLength > size - hashLength - 2) return CoreInvalidArgument;
    return state_->signInto(scope, *item, "SignPss", signature, signatureLength,
                            [&](EVP_PKEY* pkey, std::vector<unsigned char>* out) {
                                return CardCrypto::RsaSignPss(pkey, hash, mgfHash, saltLength, digest, digestLength,
                                                              out);
                            },
                            [&](std::vector<unsigned char>* out) {
                                return state_->remote->SignPss(item->record.recordId, hash, mgfHash, saltLength,
                                                               digest, digestLength, out);
                            });
}

int ReaderCardPair::DecryptOaep(const CardPrivateKeyRecord* key, HashType hash, HashType mgfHash,
                                const unsigned char* label, unsigned long labelLength, const unsigned char* in,
                                unsigned long inLength, unsigned char* out, unsigned long* outLength) {
    State::Scope scope(this, state_.get(), false);
    int status = scope.Status();
    if (status != CoreOk) return status;
    if (key == nullptr || in == nullptr || inLength == 0 || outLength == nullptr ||
        (label == nullptr && labelLength != 0))
        return CoreInvalidArgument;
    if (digestSize(hash) == 0 || digestSize(mgfHash) == 0) return CoreInvalidArgument;
    ImagePrivateKey* item = state_->privateKey(key);
    if (item == nullptr) return CoreInvalidArgument;
    if ((item->record.keyPairFlags & KeyPairFlagDecrypt) == 0) return CoreNotSupported;
    unsigned long size = item->record.signatureLength;
    if (out == nullptr) {
        *outLength = size;
        return CoreOk;
    }
    if (!state_->keyLoggedIn(*item)) return CoreSecurityStatus;
    if (inLength != size) return CoreInvalidEncryptedData;
    if (state_->remote)
        return state_->remoteDecryptOaep(*item, hash, mgfHash, label, labelLength, in, inLength, out, outLength);
    PkeyPtr pkey;
    status = state_->unsealForUse(scope, *item, "DecryptOaep", &pkey);
    if (status != CoreOk) return status;
    SecureBytes plain;
    if (!CardCrypto::RsaDecryptOaep(pkey.get(), hash, mgfHash, label, labelLength, in, inLength, &plain))
        return CoreInvalidEncryptedData;
    return State::plainInto(plain.data(), plain.size(), out, outLength);
}

}  // namespace Core
}  // namespace Vellumcrest
