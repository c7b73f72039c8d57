// Reader/card pair: RSA key pairs on the card - generation (also in two steps, the slow one
// without locks) and import, signing, decryption, proof of key origin, deletion.
#include <openssl/evp.h>

#include <cstring>

#include "core/CardPairState.h"
#include "core/Log.h"

namespace Vellumcrest {
namespace Core {

namespace {

constexpr int kSignUsage = KeyPairFlagSign | KeyPairFlagEsign | KeyPairFlagApplication;
// Upper bound of an ECDSA P-256 signature in DER.
constexpr unsigned long kProofMaxSize = 72;

// The card's attestation key signs the public key (SubjectPublicKeyInfo).
int attestationProof(const CardImage& image, const ImagePublicKey& item, std::vector<unsigned char>* proof) {
    PkeyPtr pkey = CardCrypto::RsaPublicFromComponents(item.modulus, item.exponent);
    std::vector<unsigned char> spki;
    if (!pkey || !CardCrypto::PublicKeyInfoDer(pkey.get(), &spki) ||
        !CardCrypto::AttestationSign(image.attestationKey, spki.data(), spki.size(), proof))
        return CoreCardUnsupported;
    return CoreOk;
}

}  // namespace

bool ReaderCardPair::State::keyLoggedIn(const ImagePrivateKey& item) const {
    int authId = item.record.authId;
    // A card of the pcsc backend keeps the storage key itself.
    return authId >= 1 && authId <= 3 && loggedIn[authId] && (remote || !storageKey.empty());
}

int ReaderCardPair::State::unsealForUse(Scope& scope, const ImagePrivateKey& item, const char* caller,
                                        PkeyPtr* key) {
    if (!keyLoggedIn(item)) return CoreSecurityStatus;
    // Unsealing (and parsing, and OpenSSL's first-use set-up of the key) costs more than the
    // RSA operation: a key unsealed under the cached PIN is kept until that PIN goes.
    PinCache& cache = pair->pinCache_;
    key->reset(cache.FindUnsealedKey(item.record.recordId, item.wrappedDataKey));
    if (*key) return CoreOk;
    *key = CardContent::UnsealPrivateKey(scope.Image(), item, storageKey);
    if (!*key) {
        GetCoreLog()->Error("ReaderCardPair::%s(): privatni klic %u nelze otevrit", caller, item.record.recordId);
        return CoreCardUnsupported;
    }
    cache.KeepUnsealedKey(item.record.recordId, item.wrappedDataKey, key->get());
    return CoreOk;
}

int ReaderCardPair::Sign(const CardPrivateKeyRecord* key, const unsigned char* data, unsigned long length,
                         unsigned char* signature, unsigned long* signatureLength) {
    State::Scope scope(this, state_.get(), false);
    int status = scope.Status();
    if (status != CoreOk) return status;
    if (key == nullptr || (data == nullptr && length != 0) || signatureLength == nullptr) return CoreInvalidArgument;
    ImagePrivateKey* item = state_->privateKey(key);
    if (item == nullptr) return CoreInvalidArgument;
    if ((item->record.keyPairFlags & kSignUsage) == 0) return CoreNotSupported;
    unsigned long size = item->record.signatureLength;
    if (length + 11 > size) return CoreInvalidArgument;
    return state_->signInto(scope, *item, "Sign", signature, signatureLength,
                            [&](EVP_PKEY* pkey, std::vector<unsigned char>* out) {
                                return CardCrypto::RsaSignRaw(pkey, data, length, out);
                            },
                            [&](std::vector<unsigned char>* out) {
                                return state_->remote->SignPkcs1(item->record.recordId, data, length, out);
                            });
}

int ReaderCardPair::Decrypt(const CardPrivateKeyRecord* key, const unsigned char* in, unsigned long inLength,
                            unsigned char* out, unsigned long* outLength) {
    State::Scope scope(this, state_.get(), false);
    int status = scope.Status();
    if (status != CoreOk) return status;
    if (key == nullptr || in == nullptr || inLength == 0 || outLength == nullptr) return CoreInvalidArgument;
    ImagePrivateKey* item = state_->privateKey(key);
    if (item == nullptr) return CoreInvalidArgument;
    if ((item->record.keyPairFlags & KeyPairFlagDecrypt) == 0) return CoreNotSupported;
    unsigned long size = item->record.signatureLength;
    if (out == nullptr) {
        *outLength = size;
        return CoreOk;
    }
    if (!state_->keyLoggedIn(*item)) return CoreSecurityStatus;
    if (inLength > size) return CoreInvalidEncryptedData;
    if (state_->remote) return state_->remoteDecrypt(*item, in, inLength, out, outLength);
    PkeyPtr pkey;
    status = state_->unsealForUse(scope, *item, "Decrypt", &pkey);
    if (status != CoreOk) return status;
    SecureBytes plain;
    if (!CardCrypto::RsaDecrypt(pkey.get(), in, inLength, &plain)) return CoreInvalidEncryptedData;
    return State::plainInto(plain.data(), plain.size(), out, outLength);
}

int ReaderCardPair::State::plainInto(const unsigned char* plain, size_t size, unsigned char* out,
                                     unsigned long* outLength) {
    if (*outLength < size) {
        *outLength = size;
        return CoreBufferTooSmall;
    }
    if (size > 0) std::memcpy(out, plain, size);
    *outLength = size;
    return CoreOk;
}

int ReaderCardPair::ComputeProof(const CardPublicKeyRecord* key, unsigned char* buffer, unsigned long* length) {
    State::Scope scope(this, state_.get(), false);
    int status = scope.Status();
    if (status != CoreOk) return status;
    if (key == nullptr || length == nullptr) return CoreInvalidArgument;
    ImagePublicKey* item = state_->publicKey(key);
    if (item == nullptr) return CoreInvalidArgument;
    if ((item->record.flags & CardRecordFlagImported) != 0) return CoreProofNotAvailable;
    if (buffer == nullptr) {
        *length = kProofMaxSize;
        return CoreOk;
    }
    std::vector<unsigned char> proof;
    status = state_->remote ? state_->remote->GetAttestation(item->record.recordId, &proof)
                            : attestationProof(scope.Image(), *item, &proof);
    if (status != CoreOk) return status;
    if (*length < proof.size()) {
        *length = proof.size();
        return CoreBufferTooSmall;
    }
    std::memcpy(buffer, proof.data(), proof.size());
    *length = proof.size();
    return CoreOk;
}

PreparedKeyPair::~PreparedKeyPair() { reset(); }

void PreparedKeyPair::reset() {
    EVP_PKEY_free(key_);  // clears the private components
    key_ = nullptr;
    keyPairFlags_ = 0;
}

namespace {

int modulusBits(int keyPairFlags) { return (keyPairFlags & KeyPairFlag2048) != 0 ? 2048 : 1024; }

// Whether the card can take a new key pair of these flags: a known usage, an e-signature
// key alone in its kind and on a free e-signature place of a type-4 card.
int newKeyPairStatus(const CardImage& image, int keyPairFlags) {
    if ((keyPairFlags & (KeyPairFlagDecrypt | kSignUsage)) == 0) return CoreInvalidArgument;
    if ((keyPairFlags & KeyPairFlagEsign) != 0) {
        if ((keyPairFlags & (KeyPairFlagDecrypt | KeyPairFlagApplication)) != 0) return CoreInvalidArgument;
        if (image.type != 4 || image.EsignKeysInUse() >= static_cast<long>(image.esignPlaces))
            return CoreNoFreeKeyPlace;
    }
    return CoreOk;
}

// The generation is slow: a card that cannot take the key says so first.
bool roomForNewKey(const CardImage& image, int keyPairFlags) {
    long estimate = modulusBits(keyPairFlags) / 8 * 5 + 100;  // below what the sealed pair takes
    return image.FreeMemory() >= estimate;
}

}  // namespace

int ReaderCardPair::PrepareKeyPair(int keyPairFlags, PreparedKeyPair* prepared) {
    if (prepared == nullptr) return CoreInvalidArgument;
    prepared->reset();
    {
        State::Scope scope(this, state_.get(), false);
        int status = scope.Status();
        if (status != CoreOk) return status;
        status = newKeyPairStatus(scope.Image(), keyPairFlags);
        if (status != CoreOk) return status;
        if (!roomForNewKey(scope.Image(), keyPairFlags)) return CoreCardMemoryFull;
        if (state_->remote) return CoreOk;  // the card makes the key when it is stored
    }
    // No lock of the pair or the card from here: other callers, and other processes using
    // the card, go on while the key is made.
    int bits = modulusBits(keyPairFlags);
    GetCoreLog()->Info("ReaderCardPair::PrepareKeyPair(): generuji klic RSA %d bitu pro ctecku %s", bits,
                       reader_.GetReaderName());
    PkeyPtr pkey = CardCrypto::GenerateRsa(bits);
    if (!pkey) return CoreOutOfMemory;
    GetCoreLog()->Info("ReaderCardPair::PrepareKeyPair(): klic RSA %d bitu pro ctecku %s pripraven", bits,
                       reader_.GetReaderName());
    prepared->key_ = pkey.release();
    prepared->keyPairFlags_ = keyPairFlags;
    return CoreOk;
}

int ReaderCardPair::GenerateKeyPair(CardContainerRecord* container, int keyPairFlags,
                                    CardPrivateKeyRecord** privateKey, CardPublicKeyRecord** publicKey,
                                    const RsaParam* param, PreparedKeyPair* prepared) {
    if (privateKey != nullptr) *privateKey = nullptr;
    if (publicKey != nullptr) *publicKey = nullptr;
    State::Scope scope(this, state_.get(), true);
    int status = scope.Status();
    if (status != CoreOk) return status;
    CardImage& image = scope.Image();
    ImageContainer* target = state_->container(container);
    if (target == nullptr || target->record.type != CardObjectTypeKeyContainer) return CoreInvalidArgument;
    if (param != nullptr && prepared != nullptr) return CoreInvalidArgument;
    status = newKeyPairStatus(image, keyPairFlags);
    if (status != CoreOk) return status;
    if ((keyPairFlags & KeyPairFlagEsign) != 0 && !state_->loggedIn[CardAuthIdUser]) return CoreSecurityStatus;
    PkeyPtr generated;
    EVP_PKEY* pkey = nullptr;
    if (param != nullptr) {
        if (param->GetModulusLength() != 128 && param->GetModulusLength() != 256) return CoreInvalidArgument;
        generated = CardCrypto::RsaFromParam(*param);
        if (!generated) {
            GetCoreLog()->Error("ReaderCardPair::GenerateKeyPair(): slozky klice netvori platny klic RSA");
            return CoreInvalidArgument;
        }
        pkey = generated.get();
    } else if (prepared != nullptr && (prepared->IsReady() || !state_->remote)) {
        // The prepared key must be of the size asked for now.
        if (!prepared->IsReady() || CardCrypto::RsaSize(prepared->key_) * 8 !=
                                        static_cast<size_t>(modulusBits(keyPairFlags)))
            return CoreInvalidArgument;
        pkey = prepared->key_;
    } else {
        if (!roomForNewKey(image, keyPairFlags)) return CoreCardMemoryFull;
        if (state_->remote) return state_->remoteKeyPair(target->record.containerId, keyPairFlags, nullptr, privateKey,
                                                         publicKey);
        generated = CardCrypto::GenerateRsa(modulusBits(keyPairFlags));
        if (!generated) return CoreOutOfMemory;
        pkey = generated.get();
    }
    if (state_->remote) {
        int rc = state_->remoteKeyPair(target->record.containerId, keyPairFlags, pkey, privateKey, publicKey);
        if (rc == CoreOk && prepared != nullptr) prepared->reset();
        return rc;
    }
    ImagePrivateKey* priv = nullptr;
    ImagePublicKey* pub = nullptr;
    int rc = CardContent::AddKeyPair(image, target->record.containerId, keyPairFlags, pkey, param != nullptr, &priv,
                                     &pub);
    if (rc != CoreOk) return rc;
    rc = state_->commit();
    if (rc != CoreOk) return rc;
    GetCoreLog()->Info("ReaderCardPair::GenerateKeyPair(): klic %u/%u (%zu bitu, 0x%X) ve ctecce %s",
                       priv->record.recordId, pub->record.recordId, CardCrypto::RsaSize(pkey) * 8,
                       static_cast<unsigned>(priv->record.keyPairFlags), reader_.GetReaderName());
    if (prepared != nullptr) prepared->reset();  // stored: the key exists only on the card now
    if (privateKey != nullptr) *privateKey = &priv->record;
    if (publicKey != nullptr) *publicKey = &pub->record;
    return CoreOk;
}

int ReaderCardPair::DeleteKeyPair(CardPrivateKeyRecord* privateKey, CardPublicKeyRecord* publicKey) {
    State::Scope scope(this, state_.get(), true);
    int status = scope.Status();
    if (status != CoreOk) return status;
    ImagePrivateKey* priv = nullptr;
    ImagePublicKey* pub = nullptr;
    if (!state_->keyPair(privateKey, publicKey, &priv, &pub)) return CoreInvalidArgument;
    if (state_->remote)
        return state_->remoteWrote(state_->remote->DeleteKeyPair(priv != nullptr ? priv->record.recordId : 0,
                                                                 pub != nullptr ? pub->record.recordId : 0));
    CardImage& image = scope.Image();
    if (priv != nullptr) state_->retire(CardContent::TakePrivateKey(image, priv->record.recordId));
    if (pub != nullptr) state_->retire(CardContent::TakePublicKey(image, pub->record.recordId));
    return state_->commit();
}

}  // namespace Core
}  // namespace Vellumcrest
