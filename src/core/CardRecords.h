// Records of a card's contents as the card core keeps them, and the payloads that callers
// make to create objects. Records are owned by the card core and stay valid while the
// reader/card pair is locked and the card not replaced; payloads are made and destroyed
// by the caller.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/CoreTypes.h"
#include "core/OrvoString.h"

namespace Vellumcrest {
namespace Core {

// Label (UTF-8) and identifier stored with a record.
class CardCommonAttribute {
public:
    // At most 64 bytes; false when longer.
    bool SetId(const unsigned char* id, unsigned long length);
    // At most 80 bytes; false when longer.
    bool SetLabelUtf8(const char* label, unsigned long length);
    const std::vector<unsigned char>& GetId() const { return id_; }
    const std::string& GetLabel() const { return label_; }
    bool HasId() const { return !id_.empty(); }
    bool HasLabel() const { return !label_.empty(); }

private:
    std::vector<unsigned char> id_;
    std::string label_;
};

struct VC_LIST_ELEMENT CardContainerRecord {
    uint32_t containerId = 0;
    int type = CardObjectTypeKeyContainer;  // CardObjectType
    orvostd::OrvoStringW name;
};

enum CertificateKind : int {
    CertificateKindRoot = 1,
    CertificateKindClient = 2,
    CertificateKindPartner = 3,
};

struct VC_LIST_ELEMENT CardCertificateRecord {
    virtual ~CardCertificateRecord() = default;
    uint32_t recordId = 0;
    uint32_t containerId = 0;
    uint32_t flags = 0;                  // CardRecordFlags
    int kind = CertificateKindRoot;      // CertificateKind
    CardCommonAttribute common;
};

struct VC_LIST_ELEMENT CardPrivateKeyRecord {
    uint32_t recordId = 0;
    uint32_t containerId = 0;
    uint32_t flags = 0;                  // CardRecordFlagImported when imported
    int keyPairFlags = 0;                // KeyPairFlags the pair was made with
    int authId = CardAuthIdUser;         // login needed to use the key
    unsigned long signatureLength = 0;   // modulus length in bytes
    CardCommonAttribute common;
};

struct VC_LIST_ELEMENT CardPublicKeyRecord {
    virtual ~CardPublicKeyRecord() = default;
    uint32_t recordId = 0;
    uint32_t containerId = 0;
    uint32_t flags = 0;
    int keyPairFlags = 0;
    CardCommonAttribute common;
};

struct VC_LIST_ELEMENT CardFileStorageRecord {
    virtual ~CardFileStorageRecord() = default;
    uint32_t recordId = 0;
    uint32_t containerId = ContainerId_DATA;
    uint32_t flags = 0;
    orvostd::OrvoStringW name;
    CardCommonAttribute common;
};

// Hash of a trusted root certificate kept by the card.
struct VC_LIST_ELEMENT CardRootHashRecord {
    uint32_t recordId = 0;
    unsigned char sha256[32] = {};
};

// DER certificate given to or read from the card.
class CardCertificate {
public:
    CardCertificate() = default;
    CardCertificate(const unsigned char* der, unsigned long length)
        : der_(der, der + (der != nullptr ? length : 0)) {}
    const unsigned char* GetData() const { return der_.data(); }
    unsigned long GetSize() const { return der_.size(); }

private:
    std::vector<unsigned char> der_;
};

class CardFileStorage {
public:
    CardFileStorage() = default;
    CardFileStorage(const unsigned char* data, unsigned long length)
        : data_(data, data + (data != nullptr ? length : 0)) {}
    const unsigned char* GetData() const { return data_.data(); }
    unsigned long GetSize() const { return data_.size(); }

private:
    std::vector<unsigned char> data_;
};

// Public part of a key pair on the card: big-endian modulus and exponent.
class CardPublicKey {
public:
    CardPublicKey() = default;
    CardPublicKey(std::vector<unsigned char> modulus, std::vector<unsigned char> exponent)
        : modulus_(std::move(modulus)), exponent_(std::move(exponent)) {}
    const std::vector<unsigned char>& GetModulus() const { return modulus_; }
    const std::vector<unsigned char>& GetExponent() const { return exponent_; }

private:
    std::vector<unsigned char> modulus_;
    std::vector<unsigned char> exponent_;
};

// RSA components of a key to import (big-endian byte strings). The private components
// are wiped when the object goes; a null value with a length sets an empty component.
class RsaParam {
public:
    RsaParam() = default;
    RsaParam(const RsaParam&) = default;
    RsaParam& operator=(const RsaParam&) = default;
    ~RsaParam();

    void SetModulus(const unsigned char* v, unsigned long n) { set(modulus_, v, n); }
    void SetExponent(const unsigned char* v, unsigned long n) { set(exponent_, v, n); }
    void SetD(const unsigned char* v, unsigned long n) { set(d_, v, n); }
    void SetP(const unsigned char* v, unsigned long n) { set(p_, v, n); }
    void SetQ(const unsigned char* v, unsigned long n) { set(q_, v, n); }
    void SetDP(const unsigned char* v, unsigned long n) { set(dp_, v, n); }
    void SetDQ(const unsigned char* v, unsigned long n) { set(dq_, v, n); }
    void SetInverseQ(const unsigned char* v, unsigned long n) { set(qinv_, v, n); }

    unsigned long GetModulusLength() const { return modulus_.size(); }
    unsigned long GetExponentLength() const { return exponent_.size(); }
    unsigned long GetDLength() const { return d_.size(); }
    unsigned long GetPLength() const { return p_.size(); }
    unsigned long GetQLength() const { return q_.size(); }
    unsigned long GetDPLength() const { return dp_.size(); }
    unsigned long GetDQLength() const { return dq_.size(); }
    unsigned long GetInverseQLength() const { return qinv_.size(); }

    const std::vector<unsigned char>& Modulus() const { return modulus_; }
    const std::vector<unsigned char>& Exponent() const { return exponent_; }
    const std::vector<unsigned char>& D() const { return d_; }
    const std::vector<unsigned char>& P() const { return p_; }
    const std::vector<unsigned char>& Q() const { return q_; }
    const std::vector<unsigned char>& DP() const { return dp_; }
    const std::vector<unsigned char>& DQ() const { return dq_; }
    const std::vector<unsigned char>& InverseQ() const { return qinv_; }

private:
    // Wipes the old value before it is replaced.
    static void set(std::vector<unsigned char>& component, const unsigned char* v, unsigned long n);
    std::vector<unsigned char> modulus_, exponent_, d_, p_, q_, dp_, dq_, qinv_;
};

}  // namespace Core
}  // namespace Vellumcrest
