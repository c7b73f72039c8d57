// Module side of our card's APDU set: private-key operations, key pairs and the proof of
// key origin.
#include "core/CardImage.h"
#include "core/RemoteCard.h"
#include "core/RemoteCardWire.h"

namespace Vellumcrest {
namespace Core {

using RemoteWire::Exchange;

namespace {

// Le of a command whose answer has no fixed length: as much as the card has.
constexpr size_t kAnyLength = 65536;
// Largest proof of an attestation key in DER.
constexpr size_t kProofMaxSize = 256;

bool validHash(HashType hash) { return hash >= HashTypeSha1 && hash <= HashTypeSha512; }

Apdu::TlvWriter environment(uint32_t privateRecord, Apdu::Algorithm algorithm) {
    Apdu::TlvWriter tlv;
    tlv.AddU32(Apdu::TagKeyReference, privateRecord).AddU8(Apdu::TagAlgorithm, algorithm);
    return tlv;
}

// MSE SET with the environment, then the PSO with the input: the signature or plaintext
// in *out, no longer than the largest modulus.
int keyOperation(CardChannel* channel, bool decipher, const Apdu::Bytes& environment, const Apdu::Bytes& input,
                 std::vector<unsigned char>* out) {
    if (out == nullptr) return CoreInvalidArgument;
    // Control reference template: B8 confidentiality, B6 digital signature.
    int rc = Exchange(channel, Apdu::ClaIso, Apdu::InsManageSecurityEnvironment, 0x41, decipher ? 0xB8 : 0xB6,
                      environment, 0, nullptr);
    if (rc != CoreOk) return rc;
    rc = decipher ? Exchange(channel, Apdu::ClaIso, Apdu::InsPerformSecurityOperation, 0x80, 0x86, input,
                             kAnyLength, out, nullptr, true)
                  : Exchange(channel, Apdu::ClaIso, Apdu::InsPerformSecurityOperation, 0x9E, 0x9A, input,
                             kAnyLength, out);
    if (rc == CoreOk && (out->size() > kCardMaxModulusSize || (!decipher && out->empty()))) {
        RemoteWire::Wipe(out);
        return RemoteWire::Malformed(decipher ? "Decipher" : "Sign");
    }
    return rc;
}

}  // namespace

int RemoteCard::SignPkcs1(uint32_t privateRecord, const unsigned char* data, unsigned long length,
                          std::vector<unsigned char>* signature) {
    if (data == nullptr && length != 0) return CoreInvalidArgument;
    Apdu::Bytes input(data, data + length);
    return keyOperation(channel_, false, environment(privateRecord, Apdu::AlgPkcs1).Data(), input, signature);
}

int RemoteCard::SignPss(uint32_t privateRecord, HashType hash, HashType mgfHash, unsigned long saltLength,
                        const unsigned char* digest, unsigned long length, std::vector<unsigned char>* signature) {
    if (digest == nullptr || !validHash(hash) || !validHash(mgfHash) || saltLength > 0xFFFFFFFFul)
        return CoreInvalidArgument;
    Apdu::TlvWriter tlv = environment(privateRecord, Apdu::AlgPssOrOaep);
    tlv.AddU8(Apdu::TagHash, hash).AddU8(Apdu::TagMgfHash, mgfHash).AddU32(Apdu::TagSaltLength,
                                                                          static_cast<uint32_t>(saltLength));
    Apdu::Bytes input(digest, digest + length);
    return keyOperation(channel_, false, tlv.Data(), input, signature);
}

int RemoteCard::DecryptPkcs1(uint32_t privateRecord, const unsigned char* in, unsigned long length,
                             std::vector<unsigned char>* plain) {
    if (in == nullptr || length == 0) return CoreInvalidArgument;
    Apdu::Bytes input{0x00};  // padding indicator
    input.insert(input.end(), in, in + length);
    return keyOperation(channel_, true, environment(privateRecord, Apdu::AlgPkcs1).Data(), input, plain);
}

int RemoteCard::DecryptOaep(uint32_t privateRecord, HashType hash, HashType mgfHash, const unsigned char* label,
                            unsigned long labelLength, const unsigned char* in, unsigned long length,
                            std::vector<unsigned char>* plain) {
    if (in == nullptr || length == 0 || (label == nullptr && labelLength != 0) || !validHash(hash) ||
        !validHash(mgfHash))
        return CoreInvalidArgument;
    Apdu::TlvWriter tlv = environment(privateRecord, Apdu::AlgPssOrOaep);
    tlv.AddU8(Apdu::TagHash, hash).AddU8(Apdu::TagMgfHash, mgfHash);
    if (labelLength > 0) tlv.Add(Apdu::TagOaepLabel, label, labelLength);
    Apdu::Bytes input{0x00};
    input.insert(input.end(), in, in + length);
    return keyOperation(channel_, true, tlv.Data(), input, plain);
}

int RemoteCard::GetAttestation(uint32_t publicRecord, std::vector<unsigned char>* proof) {
    if (proof == nullptr) return CoreInvalidArgument;
    Apdu::TlvWriter tlv;
    tlv.AddU32(Apdu::TagPublicKey, publicRecord);
    int rc = exchange(Apdu::ClaProprietary, Apdu::InsGetAttestation, 0x00, 0x00, tlv.Data(), kAnyLength, proof);
    if (rc == CoreOk && (proof->empty() || proof->size() > kProofMaxSize)) return RemoteWire::Malformed("Attestation");
    return rc;
}

int RemoteCard::GenerateKeyPair(uint32_t containerId, int keyPairFlags, uint32_t* privateRecord,
                                uint32_t* publicRecord) {
    if (privateRecord == nullptr || publicRecord == nullptr) return CoreInvalidArgument;
    Apdu::TlvWriter tlv;
    tlv.AddU32(Apdu::TagContainer, containerId).AddU32(Apdu::TagKeyPairFlags, static_cast<uint32_t>(keyPairFlags));
    Apdu::Bytes answer;
    int rc = exchange(Apdu::ClaIso, Apdu::InsGenerateKeyPair, 0x80, 0x00, tlv.Data(), kAnyLength, &answer);
    if (rc == CoreOk && !RemoteWire::RecordIds(answer, privateRecord, publicRecord))
        return RemoteWire::Malformed("GenerateKeyPair");
    return rc;
}

int RemoteCard::ImportKeyPair(uint32_t containerId, int keyPairFlags, const std::vector<unsigned char>& pkcs8,
                              uint32_t* privateRecord, uint32_t* publicRecord) {
    if (privateRecord == nullptr || publicRecord == nullptr || pkcs8.empty() || pkcs8.size() > kCardMaxSealedKeySize)
        return CoreInvalidArgument;
    Apdu::Bytes data;
    data.reserve(pkcs8.size() + 24);
    Apdu::TlvWriter head;
    head.AddU32(Apdu::TagContainer, containerId).AddU32(Apdu::TagKeyPairFlags, static_cast<uint32_t>(keyPairFlags));
    data.insert(data.end(), head.Data().begin(), head.Data().end());
    RemoteWire::AddSecret(&data, Apdu::TagContent, pkcs8.data(), pkcs8.size());
    Apdu::Bytes answer;
    int rc = exchange(Apdu::ClaProprietary, Apdu::InsGenerateKeyPair, 0x01, 0x00, data, kAnyLength, &answer);
    RemoteWire::Wipe(&data);
    if (rc == CoreOk && !RemoteWire::RecordIds(answer, privateRecord, publicRecord))
        return RemoteWire::Malformed("ImportKeyPair");
    return rc;
}

}  // namespace Core
}  // namespace Vellumcrest
