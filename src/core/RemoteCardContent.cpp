// Module side of our card's APDU set: containers, certificates, data files, their
// attributes, and erasing the card.
#include "core/CardRecords.h"
#include "core/RemoteCard.h"
#include "core/RemoteCardWire.h"

namespace Vellumcrest {
namespace Core {

namespace {

constexpr size_t kIdAnswer = 256;  // Le of an answer that carries record identifiers

}  // namespace

int RemoteCard::CreateContainer(const std::string& nameUtf8, int type, uint32_t flags, uint32_t* containerId) {
    if (containerId == nullptr) return CoreInvalidArgument;
    Apdu::TlvWriter tlv;
    tlv.Add(Apdu::TagName, reinterpret_cast<const unsigned char*>(nameUtf8.data()), nameUtf8.size())
        .AddU8(Apdu::TagType, static_cast<unsigned>(type))
        .AddU32(Apdu::TagFlags, flags);
    Apdu::Bytes answer;
    int rc = exchange(Apdu::ClaProprietary, Apdu::InsCreate, Apdu::ItemContainer, 0x00, tlv.Data(), kIdAnswer, &answer);
    if (rc == CoreOk && !RemoteWire::OneId(answer, Apdu::TagContainer, containerId))
        return RemoteWire::Malformed("CreateContainer");
    return rc;
}

int RemoteCard::CreateCertificate(int kind, const unsigned char* der, unsigned long length, uint32_t publicRecord,
                                  uint32_t* record) {
    if (record == nullptr || der == nullptr || length == 0 || kind < CertificateKindRoot ||
        kind > CertificateKindPartner)
        return CoreInvalidArgument;
    Apdu::TlvWriter tlv;
    tlv.Add(Apdu::TagContent, der, length);
    if (kind == CertificateKindClient) tlv.AddU32(Apdu::TagPublicKey, publicRecord);
    Apdu::Bytes answer;
    int rc = exchange(Apdu::ClaProprietary, Apdu::InsCreate, Apdu::ItemCertificate, static_cast<unsigned char>(kind),
                      tlv.Data(), kIdAnswer, &answer);
    if (rc == CoreOk && !RemoteWire::OneId(answer, Apdu::TagRecord, record))
        return RemoteWire::Malformed("CreateCertificate");
    return rc;
}

int RemoteCard::CreateDataFile(const std::string& nameUtf8, uint32_t containerId, uint32_t flags,
                               const unsigned char* data, unsigned long length, uint32_t* record) {
    if (record == nullptr || (data == nullptr && length != 0)) return CoreInvalidArgument;
    Apdu::TlvWriter tlv;
    tlv.Add(Apdu::TagName, reinterpret_cast<const unsigned char*>(nameUtf8.data()), nameUtf8.size())
        .AddU32(Apdu::TagContainer, containerId)
        .AddU32(Apdu::TagFlags, flags)
        .Add(Apdu::TagContent, data, length);
    Apdu::Bytes answer;
    int rc = exchange(Apdu::ClaProprietary, Apdu::InsCreate, Apdu::ItemDataFile, 0x00, tlv.Data(), kIdAnswer, &answer);
    if (rc == CoreOk && !RemoteWire::OneId(answer, Apdu::TagRecord, record))
        return RemoteWire::Malformed("CreateDataFile");
    return rc;
}

int RemoteCard::DeleteContainer(uint32_t containerId, bool withContents) {
    Apdu::TlvWriter tlv;
    tlv.AddU32(Apdu::TagContainer, containerId);
    return exchange(Apdu::ClaProprietary, Apdu::InsDelete, Apdu::ItemContainer, withContents ? 1 : 0, tlv.Data(), 0,
                    nullptr);
}

int RemoteCard::DeleteCertificate(uint32_t record) {
    Apdu::TlvWriter tlv;
    tlv.AddU32(Apdu::TagRecord, record);
    return exchange(Apdu::ClaProprietary, Apdu::InsDelete, Apdu::ItemCertificate, 0x00, tlv.Data(), 0, nullptr);
}

int RemoteCard::DeleteKeyPair(uint32_t privateRecord, uint32_t publicRecord) {
    if (privateRecord == 0 && publicRecord == 0) return CoreInvalidArgument;
    Apdu::TlvWriter tlv;
    if (privateRecord != 0) tlv.AddU32(Apdu::TagPrivateKey, privateRecord);
    if (publicRecord != 0) tlv.AddU32(Apdu::TagPublicKey, publicRecord);
    return exchange(Apdu::ClaProprietary, Apdu::InsDelete, Apdu::ItemKeyPair, 0x00, tlv.Data(), 0, nullptr);
}

int RemoteCard::DeleteDataFile(uint32_t record) {
    Apdu::TlvWriter tlv;
    tlv.AddU32(Apdu::TagRecord, record);
    return exchange(Apdu::ClaProprietary, Apdu::InsDelete, Apdu::ItemDataFile, 0x00, tlv.Data(), 0, nullptr);
}

int RemoteCard::PutAttributes(int kind, uint32_t record, uint32_t second, const std::string& label,
                              const std::vector<unsigned char>& id) {
    Apdu::TlvWriter tlv;
    if (kind == Apdu::ItemKeyPair) {
        if (record == 0 && second == 0) return CoreInvalidArgument;
        if (record != 0) tlv.AddU32(Apdu::TagPrivateKey, record);
        if (second != 0) tlv.AddU32(Apdu::TagPublicKey, second);
    } else if (kind == Apdu::ItemCertificate || kind == Apdu::ItemDataFile) {
        tlv.AddU32(Apdu::TagRecord, record);
    } else {
        return CoreInvalidArgument;
    }
    // An absent tag clears the value on the card.
    if (!label.empty()) tlv.Add(Apdu::TagLabel, reinterpret_cast<const unsigned char*>(label.data()), label.size());
    if (!id.empty()) tlv.Add(Apdu::TagIdentifier, id);
    return exchange(Apdu::ClaProprietary, Apdu::InsPutData, static_cast<unsigned char>(kind), 0x00, tlv.Data(), 0,
                    nullptr);
}

int RemoteCard::Erase(bool full) {
    return exchange(Apdu::ClaProprietary, Apdu::InsErase, full ? 1 : 0, 0x00, {}, 0, nullptr);
}

}  // namespace Core
}  // namespace Vellumcrest
