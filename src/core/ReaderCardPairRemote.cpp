// Reader/card pair of the pcsc backend: the card carries out each operation through
// RemoteCard, and the pair's image is the card's public image, re-read after every write.
#include <openssl/crypto.h>

#include <algorithm>
#include <unordered_map>

#include "core/CardPairState.h"
#include "core/Log.h"

namespace Vellumcrest {
namespace Core {

namespace {

void wipe(std::vector<unsigned char>* bytes) {
    if (!bytes->empty()) OPENSSL_cleanse(bytes->data(), bytes->size());
    bytes->clear();
}

// The items of fresh that old holds too (by identifier) take over old's objects, which get
// fresh's content: a pointer handed out stays valid across a re-read, as on a card kept in
// memory. What old alone holds stays in old.
template <typename Item, typename Key>
void keepObjects(std::vector<std::unique_ptr<Item>>& old, std::vector<std::unique_ptr<Item>>& fresh, Key key) {
    std::unordered_map<uint32_t, std::unique_ptr<Item>*> byId;
    byId.reserve(old.size());
    for (auto& item : old) byId.emplace(key(*item), &item);
    for (auto& item : fresh) {
        auto found = byId.find(key(*item));
        if (found == byId.end() || !*found->second) continue;
        **found->second = std::move(*item);
        item = std::move(*found->second);
    }
    old.erase(std::remove(old.begin(), old.end(), nullptr), old.end());
}

void keepRecordObjects(CardImage& old, CardImage& fresh) {
    auto byRecord = [](const auto& item) { return item.record.recordId; };
    keepObjects(old.containers, fresh.containers, [](const ImageContainer& item) { return item.record.containerId; });
    keepObjects(old.certificates, fresh.certificates, byRecord);
    keepObjects(old.publicKeys, fresh.publicKeys, byRecord);
    keepObjects(old.privateKeys, fresh.privateKeys, byRecord);
    keepObjects(old.files, fresh.files, byRecord);
}

}  // namespace

std::unique_ptr<ReaderCardPair> ReaderCardPair::ForChannel(const std::string& name,
                                                           std::unique_ptr<CardChannel> channel) {
    auto pair = std::make_unique<ReaderCardPair>();
    pair->reader_.name_ = name;
    State& state = *pair->state_;
    state.attachChannel(std::move(channel), nullptr);
    state.readerValid = true;
    state.ensureFresh(true);
    state.acknowledge();
    return pair;
}

int ReaderCardPair::State::syncRemote(bool force) {
    if (!remote) return CoreCardNotPresent;
    RemoteIdentity identity;
    int rc = remote->ReadIdentity(&identity);
    if (rc != CoreOk) return rc;
    if (!force && cardStatus == CoreOk && image && image->generation == identity.generation &&
        image->Identity() == identity.Identity())
        return CoreOk;
    std::unique_ptr<CardImage> fresh;
    rc = remote->ReadPublicImage(&fresh);
    if (rc != CoreOk) return rc;
    if (fresh->Identity() != identity.Identity()) {
        GetCoreLog()->Error("ReaderCardPair: obraz karty ve ctecce %s nepatri ke karte", pair->reader_.GetReaderName());
        return CoreCardUnsupported;
    }
    // Read under the same transaction: the image is of the generation GET DATA named.
    fresh->generation = identity.generation;
    if (image && image->Identity() == fresh->Identity()) keepRecordObjects(*image, *fresh);
    retire(std::move(image));
    image = std::move(fresh);
    cardStatus = CoreOk;
    if (currentIdentity() != loadedIdentity) cardSwitched();
    return CoreOk;
}

int ReaderCardPair::State::remoteWrote(int rc) {
    // Without the card there is nothing to follow.
    if (rc == CoreSCardError || rc == CoreCardNotPresent) return rc;
    int synced = syncRemote(false);
    if (synced != CoreOk)
        GetCoreLog()->Error("ReaderCardPair: obraz karty ve ctecce %s nelze obnovit (%d)",
                            pair->reader_.GetReaderName(), synced);
    return rc;
}

namespace {

int missingRecord(const char* caller, uint32_t id, const char* reader) {
    GetCoreLog()->Error("ReaderCardPair::%s(): zaznam %u karty ve ctecce %s nelze nacist", caller, id, reader);
    return CoreIoError;
}

}  // namespace

// ---- Authentication codes ----------------------------------------------------------------

int ReaderCardPair::State::remoteLogin(int authId, const unsigned char* pin, unsigned long length) {
    int triesLeft = -1;
    int rc = remote->Verify(authId, pin, length, &triesLeft);
    if (rc == CoreOk) loggedIn[authId] = true;
    // A wrong PIN counts on the card, and a right one restores the count: the mirror follows.
    const CardPin* code = image ? image->Pin(authId) : nullptr;
    bool counted = rc == CoreWrongPin || rc == CorePinBlocked ||
                   (rc == CoreOk && code != nullptr && code->triesLeft != code->maxTries);
    if (!counted || syncRemote(false) == CoreOk) return rc;
    // The image cannot be read now: take the count from the card's answer.
    CardPin* mirror = image ? image->Pin(authId) : nullptr;
    if (mirror != nullptr && rc == CoreWrongPin && triesLeft >= 0) mirror->triesLeft = static_cast<uint8_t>(triesLeft);
    if (mirror != nullptr && rc == CoreOk) mirror->triesLeft = mirror->maxTries;
    return rc;
}

void ReaderCardPair::State::remoteLogout() {
    int rc = remote->ResetSecurityState();
    if (rc != CoreOk && rc != CoreCardNotPresent)
        GetCoreLog()->Warning("ReaderCardPair::Logout(): karta ve ctecce %s neodhlasena (%d)",
                              pair->reader_.GetReaderName(), rc);
}

int ReaderCardPair::State::remoteDeactivate(int authId) {
    int rc = remoteWrote(remote->DisableVerification(authId));
    if (rc == CoreOk) loggedIn[authId] = false;
    return rc;
}

int ReaderCardPair::State::remoteErase(bool full) {
    int rc = remoteWrote(remote->Erase(full));
    if (rc == CoreOk)
        GetCoreLog()->Info("ReaderCardPair::EraseCard(%s): karta ve ctecce %s smazana", full ? "true" : "false",
                           pair->reader_.GetReaderName());
    return rc;
}

// ---- Private keys ------------------------------------------------------------------------

int ReaderCardPair::State::remoteDecrypt(const ImagePrivateKey& item, const unsigned char* in,
                                         unsigned long inLength, unsigned char* out, unsigned long* outLength) {
    std::vector<unsigned char> plain;
    int rc = remote->DecryptPkcs1(item.record.recordId, in, inLength, &plain);
    if (rc == CoreOk) rc = plainInto(plain.data(), plain.size(), out, outLength);
    wipe(&plain);
    return rc;
}

int ReaderCardPair::State::remoteDecryptOaep(const ImagePrivateKey& item, HashType hash, HashType mgfHash,
                                             const unsigned char* label, unsigned long labelLength,
                                             const unsigned char* in, unsigned long inLength, unsigned char* out,
                                             unsigned long* outLength) {
    std::vector<unsigned char> plain;
    int rc = remote->DecryptOaep(item.record.recordId, hash, mgfHash, label, labelLength, in, inLength, &plain);
    if (rc == CoreOk) rc = plainInto(plain.data(), plain.size(), out, outLength);
    wipe(&plain);
    return rc;
}

int ReaderCardPair::State::remoteKeyPair(uint32_t containerId, int keyPairFlags, EVP_PKEY* key,
                                         CardPrivateKeyRecord** privateKey, CardPublicKeyRecord** publicKey) {
    uint32_t privateId = 0, publicId = 0;
    int rc;
    if (key != nullptr) {
        SecureBytes der;
        if (!CardCrypto::PrivateKeyToDer(key, &der)) return CoreOutOfMemory;
        std::vector<unsigned char> pkcs8(der.data(), der.data() + der.size());
        rc = remote->ImportKeyPair(containerId, keyPairFlags, pkcs8, &privateId, &publicId);
        wipe(&pkcs8);
    } else {
        rc = remote->GenerateKeyPair(containerId, keyPairFlags, &privateId, &publicId);
    }
    rc = remoteWrote(rc);
    if (rc != CoreOk) return rc;
    ImagePrivateKey* priv = image ? image->FindPrivateKey(privateId) : nullptr;
    ImagePublicKey* pub = image ? image->FindPublicKey(publicId) : nullptr;
    if (priv == nullptr || pub == nullptr)
        return missingRecord("GenerateKeyPair", priv == nullptr ? privateId : publicId, pair->reader_.GetReaderName());
    GetCoreLog()->Info("ReaderCardPair::GenerateKeyPair(): klic %u/%u (%lu bitu, 0x%X) ve ctecce %s",
                       priv->record.recordId, pub->record.recordId, priv->record.signatureLength * 8,
                       static_cast<unsigned>(priv->record.keyPairFlags), pair->reader_.GetReaderName());
    if (privateKey != nullptr) *privateKey = &priv->record;
    if (publicKey != nullptr) *publicKey = &pub->record;
    return CoreOk;
}

// ---- Records ----------------------------------------------------------------------------

int ReaderCardPair::State::remoteAddContainer(const std::string& nameUtf8, int type, int flags,
                                              CardContainerRecord** container) {
    uint32_t id = 0;
    int rc = remoteWrote(remote->CreateContainer(nameUtf8, type, static_cast<uint32_t>(flags), &id));
    if (rc != CoreOk) return rc;
    CardContainerRecord* record = containerRecord(id);
    if (record == nullptr) return missingRecord("CreateContainer", id, pair->reader_.GetReaderName());
    if (container != nullptr) *container = record;
    return CoreOk;
}

int ReaderCardPair::State::remoteAddCertificate(int kind, const CardCertificate& certificate, uint32_t publicRecord,
                                                CardCertificateRecord** record) {
    uint32_t id = 0;
    int rc = remoteWrote(
        remote->CreateCertificate(kind, certificate.GetData(), certificate.GetSize(), publicRecord, &id));
    if (rc != CoreOk) return rc;
    ImageCertificate* item = image ? image->FindCertificate(id) : nullptr;
    if (item == nullptr) return missingRecord("CreateCertificate", id, pair->reader_.GetReaderName());
    if (record != nullptr) *record = &item->record;
    return CoreOk;
}

int ReaderCardPair::State::remoteAddFile(const std::string& nameUtf8, uint32_t containerId, int flags,
                                         const CardFileStorage& data, CardFileStorageRecord** record) {
    uint32_t id = 0;
    int rc = remoteWrote(remote->CreateDataFile(nameUtf8, containerId, static_cast<uint32_t>(flags), data.GetData(),
                                                data.GetSize(), &id));
    if (rc != CoreOk) return rc;
    ImageFile* item = image ? image->FindFile(id) : nullptr;
    if (item == nullptr) return missingRecord("CreateFileStorage", id, pair->reader_.GetReaderName());
    if (record != nullptr) *record = &item->record;
    return CoreOk;
}

int ReaderCardPair::State::remoteAttributes(int kind, uint32_t record, uint32_t second,
                                            const CardCommonAttribute& common) {
    int rc = remote->PutAttributes(kind, record, second, common.GetLabel(), common.GetId());
    if (rc == CoreOk || rc == CoreSCardError || rc == CoreCardNotPresent) return remoteWrote(rc);
    // The caller may have set the values on the image's own record: undo that.
    if (syncRemote(true) != CoreOk)
        GetCoreLog()->Error("ReaderCardPair: obraz karty ve ctecce %s nelze obnovit", pair->reader_.GetReaderName());
    return rc;
}

int ReaderCardPair::State::remoteKeyPairAttributes(const CardPrivateKeyRecord* privateKey,
                                                   const CardPublicKeyRecord* publicKey) {
    // Halves with the same values take one write, so that the card stores both or neither.
    if (privateKey != nullptr && publicKey != nullptr &&
        privateKey->common.GetLabel() == publicKey->common.GetLabel() &&
        privateKey->common.GetId() == publicKey->common.GetId())
        return remoteAttributes(Apdu::ItemKeyPair, privateKey->recordId, publicKey->recordId, privateKey->common);
    // Both values are taken before the first write re-reads the image.
    const CardCommonAttribute publicCommon = publicKey != nullptr ? publicKey->common : CardCommonAttribute();
    const uint32_t publicId = publicKey != nullptr ? publicKey->recordId : 0;
    int rc = CoreOk;
    if (privateKey != nullptr) rc = remoteAttributes(Apdu::ItemKeyPair, privateKey->recordId, 0, privateKey->common);
    if (rc == CoreOk && publicId != 0) rc = remoteAttributes(Apdu::ItemKeyPair, 0, publicId, publicCommon);
    return rc;
}

}  // namespace Core
}  // namespace Vellumcrest
