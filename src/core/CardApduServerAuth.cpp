// APDU server: the PIN commands, MSE SET, PSO COMPUTE DIGITAL SIGNATURE and DECIPHER, and
// the attestation of a key made on the card.
#include <openssl/crypto.h>

#include <cstring>

#include "core/CardApduServer.h"
#include "core/Reader.h"

namespace Vellumcrest {
namespace Core {

using namespace Apdu;

namespace {

// P2 of the PIN commands: 0x80 | authentication id.
bool authIdOf(unsigned char p2, int* authId) {
    if ((p2 & 0xF0) != 0x80) return false;
    *authId = p2 & 0x0F;
    return *authId >= CardAuthIdUser && *authId <= CardAuthIdThird;
}

bool hashOf(const TlvReader& tlv, unsigned char tag, HashType* hash) {
    unsigned value = 0;
    if (!tlv.U8(tag, &value) || value < HashTypeSha1 || value > HashTypeSha512) return false;
    *hash = static_cast<HashType>(value);
    return true;
}

// A PIN as the core takes it: null for an empty value.
const unsigned char* pinData(const Bytes* value) { return value != nullptr && !value->empty() ? value->data() : nullptr; }
unsigned long pinLength(const Bytes* value) { return value != nullptr ? value->size() : 0; }

// The TLV reader copies the values: wiped when the command is done.
class SecretTlv : public TlvReader {
public:
    ~SecretTlv() {
        const unsigned char tags[] = {kPinOld, kPinNew, TagContent};
        for (unsigned char tag : tags) {
            Bytes* value = const_cast<Bytes*>(Find(tag));
            if (value != nullptr && !value->empty()) OPENSSL_cleanse(value->data(), value->size());
        }
    }
};

}  // namespace

uint16_t CardApduServer::verify(const Command& command, Bytes* out) {
    if (command.p1 == 0xFF) {
        if (command.p2 != 0x00 || !command.data.empty()) return SwWrongP1P2;
        for (bool& flag : verified_) flag = false;
        return status(pair_->Logout());
    }
    int authId = 0;
    if (command.p1 != 0x00 || !authIdOf(command.p2, &authId)) return SwWrongP1P2;
    if (command.data.empty()) {
        // Status only: 9000 when verified, else the tries left.
        bool initialised = false;
        int tries = 0;
        int rc = pair_->GetAuthCodeState(authId, &initialised, &tries);
        if (rc != CoreOk) return status(rc);
        if (!initialised) return SwPinNotInitialised;
        if (tries == 0) return SwPinBlocked;
        return verified_[authId] ? static_cast<uint16_t>(SwOk) : StatusFor(CoreWrongPin, tries);
    }
    verified_[authId] = false;
    int rc = pair_->Login(authId, command.data.data(), command.data.size());
    if (rc == CoreOk) verified_[authId] = true;
    return status(rc, authId);
}

uint16_t CardApduServer::changeReferenceData(const Command& command, Bytes* out) {
    int authId = 0;
    if ((command.p1 != 0x00 && command.p1 != 0x01) || !authIdOf(command.p2, &authId)) return SwWrongP1P2;
    SecretTlv tlv;
    if (!tlv.Parse(command.data)) return SwWrongData;
    const Bytes* newPin = tlv.Find(kPinNew);
    if (newPin == nullptr || newPin->empty()) return SwWrongData;
    if (command.p1 == 0x01) return status(pair_->InitAuthCode(authId, newPin->data(), newPin->size()), authId);
    const Bytes* oldPin = tlv.Find(kPinOld);
    if (oldPin == nullptr || oldPin->empty()) return SwWrongData;
    int rc = pair_->ChangeAuthCode(authId, oldPin->data(), oldPin->size(), newPin->data(), newPin->size());
    return status(rc, authId);
}

uint16_t CardApduServer::resetRetryCounter(const Command& command, Bytes* out) {
    int authId = 0;
    if (command.p1 != 0x00 || !authIdOf(command.p2, &authId)) return SwWrongP1P2;
    SecretTlv tlv;
    if (!tlv.Parse(command.data)) return SwWrongData;
    const Bytes* soPin = tlv.Find(kPinOld);
    const Bytes* newPin = tlv.Find(kPinNew);
    if (soPin == nullptr || soPin->empty() || (newPin != nullptr && newPin->empty())) return SwWrongData;
    int rc = pair_->ResetAuthCode(authId, soPin->data(), soPin->size(), pinData(newPin), pinLength(newPin));
    // A wrong PIN here is the SO PIN.
    return status(rc, CardAuthIdSo);
}

uint16_t CardApduServer::disableVerification(const Command& command, Bytes* out) {
    int authId = 0;
    if (command.p1 != 0x00 || !authIdOf(command.p2, &authId)) return SwWrongP1P2;
    int rc = pair_->DeactivateAuthCode(authId);
    if (rc == CoreOk) verified_[authId] = false;
    return status(rc);
}

uint16_t CardApduServer::manageSecurityEnvironment(const Command& command, Bytes* out) {
    if (command.p1 != 0x41 || (command.p2 != 0xB6 && command.p2 != 0xB8)) return SwWrongP1P2;
    bool forSignature = command.p2 == 0xB6;
    Environment& target = forSignature ? signEnvironment_ : decipherEnvironment_;
    target = Environment();
    TlvReader tlv;
    Environment environment;
    if (!tlv.Parse(command.data) || !tlv.U32(TagKeyReference, &environment.keyRecord) ||
        !tlv.U8(TagAlgorithm, &environment.algorithm))
        return SwWrongData;
    if (environment.algorithm == AlgPssOrOaep) {
        if (!hashOf(tlv, TagHash, &environment.hash) || !hashOf(tlv, TagMgfHash, &environment.mgfHash))
            return SwFunctionNotSupported;
        if (forSignature) {
            uint32_t salt = 0;
            if (!tlv.U32(TagSaltLength, &salt)) return SwWrongData;
            environment.saltLength = salt;
        } else if (const Bytes* label = tlv.Find(TagOaepLabel)) {
            environment.label = *label;
        }
    } else if (environment.algorithm != AlgPkcs1) {
        return SwFunctionNotSupported;
    }
    environment.set = true;
    target = std::move(environment);
    return SwOk;
}

uint16_t CardApduServer::performSecurityOperation(const Command& command, Bytes* out) {
    if (command.p1 == 0x9E && command.p2 == 0x9A) return computeSignature(command.data, out);
    if (command.p1 == 0x80 && command.p2 == 0x86) return decipher(command.data, out);
    return SwWrongP1P2;
}

uint16_t CardApduServer::computeSignature(const Bytes& data, Bytes* out) {
    const Environment& environment = signEnvironment_;
    if (!environment.set) return SwConditionsNotSatisfied;
    CardPrivateKeyRecord* key = pair_->FindCardPrivateKeyRecordById(environment.keyRecord);
    if (key == nullptr) return SwNotFound;
    unsigned long length = key->signatureLength;
    out->assign(length, 0);
    const unsigned char* in = data.empty() ? nullptr : data.data();
    int rc = environment.algorithm == AlgPkcs1
                 ? pair_->Sign(key, in, data.size(), out->data(), &length)
                 : pair_->SignPss(key, environment.hash, environment.mgfHash, environment.saltLength, in, data.size(),
                                  out->data(), &length);
    if (rc != CoreOk) return status(rc);
    out->resize(length);
    return SwOk;
}

uint16_t CardApduServer::decipher(const Bytes& data, Bytes* out) {
    const Environment& environment = decipherEnvironment_;
    if (!environment.set) return SwConditionsNotSatisfied;
    // Padding indicator 00, then the cryptogram.
    if (data.size() < 2 || data[0] != 0x00) return SwWrongData;
    CardPrivateKeyRecord* key = pair_->FindCardPrivateKeyRecordById(environment.keyRecord);
    if (key == nullptr) return SwNotFound;
    unsigned long length = key->signatureLength;
    out->assign(length, 0);
    int rc;
    if (environment.algorithm == AlgPkcs1) {
        rc = pair_->Decrypt(key, data.data() + 1, data.size() - 1, out->data(), &length);
    } else {
        const Bytes& label = environment.label;
        rc = pair_->DecryptOaep(key, environment.hash, environment.mgfHash, label.empty() ? nullptr : label.data(),
                                label.size(), data.data() + 1, data.size() - 1, out->data(), &length);
    }
    if (rc != CoreOk) return status(rc);
    out->resize(length);
    return SwOk;
}

uint16_t CardApduServer::getAttestation(const Command& command, Bytes* out) {
    if (command.p1 != 0x00 || command.p2 != 0x00) return SwWrongP1P2;
    TlvReader tlv;
    uint32_t record = 0;
    if (!tlv.Parse(command.data) || !tlv.U32(TagPublicKey, &record)) return SwWrongData;
    CardPublicKeyRecord* key = pair_->FindCardPublicKeyRecordById(record);
    if (key == nullptr) return SwNotFound;
    unsigned long length = 0;
    int rc = pair_->ComputeProof(key, nullptr, &length);
    if (rc != CoreOk) return status(rc);
    out->assign(length, 0);
    rc = pair_->ComputeProof(key, out->data(), &length);
    if (rc != CoreOk) return status(rc);
    out->resize(length);
    return SwOk;
}

}  // namespace Core
}  // namespace Vellumcrest
