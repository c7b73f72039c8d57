// Reader/card pair: containers, certificates, data files, their attributes, look-ups and
// payloads.
#include "core/CardPairState.h"
#include "core/Log.h"

namespace Vellumcrest {
namespace Core {

namespace {

template <typename Item, typename Record>
int countOrFill(std::vector<std::unique_ptr<Item>>& items, uint32_t containerId, int index, Record** records) {
    int count = 0;
    int filled = 0;
    for (auto& item : items) {
        if (item->record.containerId != containerId) continue;
        if (records != nullptr && count >= index) records[filled++] = &item->record;
        ++count;
    }
    return records == nullptr ? count : filled;
}

template <typename Item, typename Record>
std::vector<Record*> allRecords(std::vector<std::unique_ptr<Item>>& items) {
    std::vector<Record*> records;
    records.reserve(items.size());
    for (auto& item : items) records.push_back(&item->record);
    return records;
}

}  // namespace

int ReaderCardPair::CreateContainer(const orvostd::OrvoStringW& name, int flags, int cardObjectType,
                                    CardContainerRecord** container, bool reserved) {
    if (container != nullptr) *container = nullptr;
    State::Scope scope(this, state_.get(), true);
    int status = scope.Status();
    if (status != CoreOk) return status;
    if (state_->remote) return state_->remoteAddContainer(OrvoStringWToUtf8(name), cardObjectType, flags, container);
    ImageContainer* item = nullptr;
    int rc = CardContent::AddContainer(scope.Image(), OrvoStringWToUtf8(name), cardObjectType, &item);
    if (rc != CoreOk) return rc;
    rc = state_->commit();
    if (rc != CoreOk) return rc;
    if (container != nullptr) *container = &item->record;
    return CoreOk;
}

int ReaderCardPair::DeleteContainer(CardContainerRecord* container, bool withContents, bool reserved) {
    State::Scope scope(this, state_.get(), true);
    int status = scope.Status();
    if (status != CoreOk) return status;
    ImageContainer* item = state_->container(container);
    if (item == nullptr) return CoreInvalidArgument;
    CardImage& image = scope.Image();
    uint32_t id = item->record.containerId;
    const bool hasContents = CardContent::CountInContainer(image, id) > 0;
    if (hasContents && !withContents) return CoreInvalidArgument;
    if (state_->remote) return state_->remoteWrote(state_->remote->DeleteContainer(id, withContents));
    if (hasContents) {
        auto takeAll = [&](auto& items, auto take) {
            std::vector<uint32_t> ids;
            for (auto& record : items)
                if (record->record.containerId == id) ids.push_back(record->record.recordId);
            for (uint32_t recordId : ids) state_->retire(take(image, recordId));
        };
        takeAll(image.certificates, CardContent::TakeCertificate);
        takeAll(image.publicKeys, CardContent::TakePublicKey);
        takeAll(image.privateKeys, CardContent::TakePrivateKey);
        takeAll(image.files, CardContent::TakeFile);
    }
    state_->retire(CardContent::TakeContainer(image, id));
    return state_->commit();
}

int ReaderCardPair::CreateCertificateRoot(const CardCertificate& certificate, CardCertificateRecord** record) {
    if (record != nullptr) *record = nullptr;
    State::Scope scope(this, state_.get(), true);
    int status = scope.Status();
    if (status != CoreOk) return status;
    if (state_->remote) return state_->remoteAddCertificate(CertificateKindRoot, certificate, 0, record);
    ImageCertificate* item = nullptr;
    int rc = CardContent::AddCertificate(scope.Image(), 0, CertificateKindRoot, certificate.GetData(),
                                         certificate.GetSize(), &item);
    if (rc == CoreOk) rc = state_->commit();
    if (rc == CoreOk && record != nullptr) *record = &item->record;
    return rc;
}

int ReaderCardPair::CreateCertificateClient(const CardCertificate& certificate, const CardPublicKeyRecord* key,
                                            CardCertificateRecord** record) {
    if (record != nullptr) *record = nullptr;
    State::Scope scope(this, state_.get(), true);
    int status = scope.Status();
    if (status != CoreOk) return status;
    ImagePublicKey* pub = state_->publicKey(key);
    if (pub == nullptr) return CoreInvalidArgument;
    if (state_->remote)
        return state_->remoteAddCertificate(CertificateKindClient, certificate, pub->record.recordId, record);
    ImageCertificate* item = nullptr;
    int rc = CardContent::AddCertificate(scope.Image(), pub->record.containerId, CertificateKindClient,
                                         certificate.GetData(), certificate.GetSize(), &item);
    if (rc == CoreOk) rc = state_->commit();
    if (rc == CoreOk && record != nullptr) *record = &item->record;
    return rc;
}

int ReaderCardPair::CreateCertificatePartner(const CardCertificate& certificate, CardCertificateRecord** record) {
    if (record != nullptr) *record = nullptr;
    State::Scope scope(this, state_.get(), true);
    int status = scope.Status();
    if (status != CoreOk) return status;
    if (state_->remote) return state_->remoteAddCertificate(CertificateKindPartner, certificate, 0, record);
    ImageCertificate* item = nullptr;
    int rc = CardContent::AddCertificate(scope.Image(), 0, CertificateKindPartner, certificate.GetData(),
                                         certificate.GetSize(), &item);
    if (rc == CoreOk) rc = state_->commit();
    if (rc == CoreOk && record != nullptr) *record = &item->record;
    return rc;
}

int ReaderCardPair::DeleteCertificate(CardCertificateRecord* record) {
    State::Scope scope(this, state_.get(), true);
    int status = scope.Status();
    if (status != CoreOk) return status;
    ImageCertificate* item = state_->certificate(record);
    if (item == nullptr) return CoreInvalidArgument;
    if (state_->remote) return state_->remoteWrote(state_->remote->DeleteCertificate(item->record.recordId));
    CardImage& image = scope.Image();
    uint32_t containerId = item->record.containerId;
    bool ownContainer = item->record.kind != CertificateKindClient;
    state_->retire(CardContent::TakeCertificate(image, item->record.recordId));
    // A root or partner certificate came with a container of its own; it goes with it.
    if (ownContainer && !CardContent::IsDataContainer(containerId) &&
        CardContent::CountInContainer(image, containerId) == 0)
        state_->retire(CardContent::TakeContainer(image, containerId));
    return state_->commit();
}

int ReaderCardPair::CreateFileStorage(const orvostd::OrvoStringW& name, uint32_t containerId, int flags,
                                      const CardFileStorage& data, CardFileStorageRecord** record, bool reserved) {
    if (record != nullptr) *record = nullptr;
    State::Scope scope(this, state_.get(), true);
    int status = scope.Status();
    if (status != CoreOk) return status;
    if (state_->remote) return state_->remoteAddFile(OrvoStringWToUtf8(name), containerId, flags, data, record);
    ImageFile* item = nullptr;
    int rc = CardContent::AddFile(scope.Image(), containerId, OrvoStringWToUtf8(name), static_cast<uint32_t>(flags),
                                  data.GetData(), data.GetSize(), &item);
    if (rc == CoreOk) rc = state_->commit();
    if (rc == CoreOk && record != nullptr) *record = &item->record;
    return rc;
}

int ReaderCardPair::DeleteFileStorage(CardFileStorageRecord* record) {
    State::Scope scope(this, state_.get(), true);
    int status = scope.Status();
    if (status != CoreOk) return status;
    ImageFile* item = state_->file(record);
    if (item == nullptr) return CoreInvalidArgument;
    if (state_->remote) return state_->remoteWrote(state_->remote->DeleteDataFile(item->record.recordId));
    state_->retire(CardContent::TakeFile(scope.Image(), item->record.recordId));
    return state_->commit();
}

namespace {
// The caller may have changed the common attributes of a record it got earlier (or a copy).
template <typename Item, typename Record>
void takeCommon(Item* item, const Record* record) {
    if (&item->record != record) item->record.common = record->common;
}
}  // namespace

int ReaderCardPair::UpdateKeyPairAttr(CardPrivateKeyRecord* privateKey, CardPublicKeyRecord* publicKey) {
    State::Scope scope(this, state_.get(), true);
    int status = scope.Status();
    if (status != CoreOk) return status;
    ImagePrivateKey* priv = nullptr;
    ImagePublicKey* pub = nullptr;
    if (!state_->keyPair(privateKey, publicKey, &priv, &pub)) return CoreInvalidArgument;
    if (state_->remote) return state_->remoteKeyPairAttributes(privateKey, publicKey);
    if (priv != nullptr) takeCommon(priv, privateKey);
    if (pub != nullptr) takeCommon(pub, publicKey);
    if (scope.Image().FreeMemory() < 0) {
        state_->reload();
        return CoreCardMemoryFull;
    }
    return state_->commit();
}

int ReaderCardPair::UpdateCertificateAttr(CardCertificateRecord* record) {
    State::Scope scope(this, state_.get(), true);
    int status = scope.Status();
    if (status != CoreOk) return status;
    ImageCertificate* item = state_->certificate(record);
    if (item == nullptr) return CoreInvalidArgument;
    if (state_->remote)
        return state_->remoteAttributes(Apdu::ItemCertificate, item->record.recordId, 0, record->common);
    takeCommon(item, record);
    if (scope.Image().FreeMemory() < 0) {
        state_->reload();
        return CoreCardMemoryFull;
    }
    return state_->commit();
}

int ReaderCardPair::UpdateFileStorageAttr(CardFileStorageRecord* record) {
    State::Scope scope(this, state_.get(), true);
    int status = scope.Status();
    if (status != CoreOk) return status;
    ImageFile* item = state_->file(record);
    if (item == nullptr) return CoreInvalidArgument;
    if (state_->remote)
        return state_->remoteAttributes(Apdu::ItemDataFile, item->record.recordId, 0, record->common);
    takeCommon(item, record);
    if (&item->record != record) item->record.name = record->name;
    if (scope.Image().FreeMemory() < 0) {
        state_->reload();
        return CoreCardMemoryFull;
    }
    return state_->commit();
}

// ---- Look-ups ------------------------------------------------------------------------

CardContainerRecord* ReaderCardPair::FindCardContainerRecord(const CardCertificateRecord* record) {
    State::Scope scope(this, state_.get(), false);
    ImageCertificate* item = scope.Status() == CoreOk ? state_->certificate(record) : nullptr;
    return item != nullptr ? state_->containerRecord(item->record.containerId) : nullptr;
}

CardContainerRecord* ReaderCardPair::FindCardContainerRecord(const CardPublicKeyRecord* record) {
    State::Scope scope(this, state_.get(), false);
    ImagePublicKey* item = scope.Status() == CoreOk ? state_->publicKey(record) : nullptr;
    return item != nullptr ? state_->containerRecord(item->record.containerId) : nullptr;
}

CardContainerRecord* ReaderCardPair::FindCardContainerRecord(const CardPrivateKeyRecord* record) {
    State::Scope scope(this, state_.get(), false);
    ImagePrivateKey* item = scope.Status() == CoreOk ? state_->privateKey(record) : nullptr;
    return item != nullptr ? state_->containerRecord(item->record.containerId) : nullptr;
}

CardContainerRecord* ReaderCardPair::FindCardContainerRecord(const CardFileStorageRecord* record) {
    State::Scope scope(this, state_.get(), false);
    ImageFile* item = scope.Status() == CoreOk ? state_->file(record) : nullptr;
    return item != nullptr ? state_->containerRecord(item->record.containerId) : nullptr;
}

CardCertificateRecord* ReaderCardPair::FindCardCertificateRecord(const CardPublicKeyRecord* key) {
    State::Scope scope(this, state_.get(), false);
    ImagePublicKey* pub = scope.Status() == CoreOk ? state_->publicKey(key) : nullptr;
    if (pub == nullptr) return nullptr;
    CardCertificateRecord* found = nullptr;
    for (auto& item : scope.Image().certificates) {
        if (item->record.containerId != pub->record.containerId) continue;
        if (item->record.kind == CertificateKindClient) return &item->record;
        if (found == nullptr) found = &item->record;
    }
    return found;
}

CardPublicKeyRecord* ReaderCardPair::FindCardPublicKeyRecord(const CardPrivateKeyRecord* key) {
    State::Scope scope(this, state_.get(), false);
    ImagePrivateKey* priv = scope.Status() == CoreOk ? state_->privateKey(key) : nullptr;
    if (priv == nullptr) return nullptr;
    ImagePublicKey* linked = scope.Image().FindPublicKey(priv->publicRecordId);
    if (linked != nullptr) return &linked->record;
    for (auto& item : scope.Image().publicKeys)
        if (item->record.containerId == priv->record.containerId) return &item->record;
    return nullptr;
}

CardPrivateKeyRecord* ReaderCardPair::FindCardPrivateKeyRecord(const CardPublicKeyRecord* key) {
    State::Scope scope(this, state_.get(), false);
    ImagePublicKey* pub = scope.Status() == CoreOk ? state_->publicKey(key) : nullptr;
    if (pub == nullptr) return nullptr;
    for (auto& item : scope.Image().privateKeys)
        if (item->publicRecordId == pub->record.recordId) return &item->record;
    for (auto& item : scope.Image().privateKeys)
        if (item->record.containerId == pub->record.containerId && item->publicRecordId == 0) return &item->record;
    return nullptr;
}

int ReaderCardPair::FindCardCertificateRecord(const CardContainerRecord* container, int index,
                                              CardCertificateRecord** records) {
    State::Scope scope(this, state_.get(), false);
    if (scope.Status() != CoreOk || container == nullptr || index < 0) return -1;
    return countOrFill(scope.Image().certificates, container->containerId, index, records);
}

int ReaderCardPair::FindCardPublicKeyRecord(const CardContainerRecord* container, int index,
                                            CardPublicKeyRecord** records) {
    State::Scope scope(this, state_.get(), false);
    if (scope.Status() != CoreOk || container == nullptr || index < 0) return -1;
    return countOrFill(scope.Image().publicKeys, container->containerId, index, records);
}

int ReaderCardPair::FindCardPrivateKeyRecord(const CardContainerRecord* container, int index,
                                             CardPrivateKeyRecord** records) {
    State::Scope scope(this, state_.get(), false);
    if (scope.Status() != CoreOk || container == nullptr || index < 0) return -1;
    return countOrFill(scope.Image().privateKeys, container->containerId, index, records);
}

int ReaderCardPair::FindCardFileStorageRecord(const CardContainerRecord* container, int index,
                                              CardFileStorageRecord** records) {
    State::Scope scope(this, state_.get(), false);
    if (scope.Status() != CoreOk || container == nullptr || index < 0) return -1;
    return countOrFill(scope.Image().files, container->containerId, index, records);
}

CardCertificateRecord* ReaderCardPair::FindCardCertificateRecordById(uint32_t recordId) {
    State::Scope scope(this, state_.get(), false);
    ImageCertificate* item = scope.Status() == CoreOk ? scope.Image().FindCertificate(recordId) : nullptr;
    return item != nullptr ? &item->record : nullptr;
}

CardPublicKeyRecord* ReaderCardPair::FindCardPublicKeyRecordById(uint32_t recordId) {
    State::Scope scope(this, state_.get(), false);
    ImagePublicKey* item = scope.Status() == CoreOk ? scope.Image().FindPublicKey(recordId) : nullptr;
    return item != nullptr ? &item->record : nullptr;
}

CardPrivateKeyRecord* ReaderCardPair::FindCardPrivateKeyRecordById(uint32_t recordId) {
    State::Scope scope(this, state_.get(), false);
    ImagePrivateKey* item = scope.Status() == CoreOk ? scope.Image().FindPrivateKey(recordId) : nullptr;
    return item != nullptr ? &item->record : nullptr;
}

CardFileStorageRecord* ReaderCardPair::FindCardFileStorageRecordById(uint32_t recordId) {
    State::Scope scope(this, state_.get(), false);
    ImageFile* item = scope.Status() == CoreOk ? scope.Image().FindFile(recordId) : nullptr;
    return item != nullptr ? &item->record : nullptr;
}

std::vector<CardCertificateRecord*> ReaderCardPair::GetCertificateRecords() {
    State::Scope scope(this, state_.get(), false);
    if (scope.Status() != CoreOk) return {};
    return allRecords<ImageCertificate, CardCertificateRecord>(scope.Image().certificates);
}

std::vector<CardPublicKeyRecord*> ReaderCardPair::GetPublicKeyRecords() {
    State::Scope scope(this, state_.get(), false);
    if (scope.Status() != CoreOk) return {};
    return allRecords<ImagePublicKey, CardPublicKeyRecord>(scope.Image().publicKeys);
}

std::vector<CardPrivateKeyRecord*> ReaderCardPair::GetPrivateKeyRecords() {
    State::Scope scope(this, state_.get(), false);
    if (scope.Status() != CoreOk) return {};
    return allRecords<ImagePrivateKey, CardPrivateKeyRecord>(scope.Image().privateKeys);
}

std::vector<CardFileStorageRecord*> ReaderCardPair::GetFileStorageRecords() {
    State::Scope scope(this, state_.get(), false);
    if (scope.Status() != CoreOk) return {};
    return allRecords<ImageFile, CardFileStorageRecord>(scope.Image().files);
}

CardPublicKey* ReaderCardPair::GetCardPublicKey(const CardPublicKeyRecord* key, bool refresh) {
    State::Scope scope(this, state_.get(), false);
    if (refresh) state_->ensureFresh(false);
    if (scope.Status() != CoreOk) return nullptr;
    ImagePublicKey* item = state_->publicKey(key);
    if (item == nullptr) return nullptr;
    return new (std::nothrow) CardPublicKey(item->modulus, item->exponent);
}

CardCertificate* ReaderCardPair::GetCardCertificate(const CardCertificateRecord* record) {
    State::Scope scope(this, state_.get(), false);
    if (scope.Status() != CoreOk) return nullptr;
    ImageCertificate* item = state_->certificate(record);
    if (item == nullptr) return nullptr;
    return new (std::nothrow) CardCertificate(item->der.data(), item->der.size());
}

CardFileStorage* ReaderCardPair::GetCardFileStorage(const CardFileStorageRecord* record) {
    State::Scope scope(this, state_.get(), false);
    if (scope.Status() != CoreOk) return nullptr;
    ImageFile* item = state_->file(record);
    if (item == nullptr) return nullptr;
    return new (std::nothrow) CardFileStorage(item->data.data(), item->data.size());
}

}  // namespace Core
}  // namespace Vellumcrest
