// In-memory objects of a card: keys, certificates and data files, and the list that
// holds them. Each object refers to its card record by record identifier and finds the
// record through the reader/card pair it is given.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_set>
#include <vector>

#include "core/CardRecords.h"
#include "core/CoreTypes.h"
#include "core/ExclusiveLock.h"
#include "handles/List.h"

typedef struct evp_pkey_st EVP_PKEY;

namespace Vellumcrest {
namespace Core {

class Hash;
class ReaderCardPair;

class VC_LIST_ELEMENT CoreObject {
public:
    virtual ~CoreObject();
    CoreObjectType GetCoreObjectType() const { return type_; }
    const CoreObjectFlags& GetCoreObjectFlags() const { return flags_; }
    void SetCoreObjectFlags(const CoreObjectFlags& flags) { flags_ = flags; }
    unsigned long GetPkcs11OwnerSession() const { return ownerSession_; }
    void SetPkcs11OwnerSession(unsigned long session) { ownerSession_ = session; }

    // Derives CKA_ID from the card: the record's identifier when it has one, else one
    // computed from the key material (SHA-1 of the modulus), so that a key pair and its
    // certificate share it. Non-zero when the record cannot be found.
    int SetCryptokiID(ReaderCardPair* pair);
    // Sets it directly, in memory only.
    int SetCryptokiID(const tKeyIdentifier& id);
    const tKeyIdentifier& GetCryptokiID() const { return cryptokiId_; }

    // Card record identifier and container (0 for objects not bound to a record).
    uint32_t GetRecordId() const { return recordId_; }
    uint32_t GetContainerId() const { return containerId_; }

    void Lock() { lock_.Lock(); }
    bool TryLock() { return lock_.TryLock(); }
    void Unlock() { lock_.Unlock(); }

protected:
    explicit CoreObject(CoreObjectType type);
    // Identifier computed when the record has none.
    virtual bool computeDefaultId(std::vector<unsigned char>& id) const;
    // Record's common attributes through the pair, or null.
    virtual const CardCommonAttribute* findCommon(ReaderCardPair* pair) const;
    // CKA_LABEL: the record's label, or a computed one.
    const unsigned char* attrLabel(ReaderCardPair* pair, unsigned long* length);
    virtual std::string defaultLabel() const;
    // CKA_ID: the cryptoki ID when set, else the record's identifier, else computed.
    const unsigned char* attrId(ReaderCardPair* pair, unsigned long* length);

    CoreObjectType type_;
    CoreObjectFlags flags_ = {};
    unsigned long ownerSession_ = 0;
    tKeyIdentifier cryptokiId_ = {};
    uint32_t recordId_ = 0;
    uint32_t containerId_ = 0;
    std::string labelBuffer_;
    std::vector<unsigned char> idBuffer_;

private:
    ExclusiveLock lock_;
    bool idExplicit_ = false;  // set in memory by SetCryptokiID(tKeyIdentifier)
    std::string derivedLabel(ReaderCardPair* pair) const;
    // The identifier stored on the card for this object: its record's, else that of the
    // other records of its key container. *missing is set when the record is gone.
    bool cardId(ReaderCardPair* pair, std::vector<unsigned char>& id, bool* missing) const;
};

class VC_LIST_ELEMENT Key : public CoreObject {
public:
    KeyType GetKeyType() const { return keyType_; }

protected:
    explicit Key(KeyType keyType) : CoreObject(CoreObjectTypeKey), keyType_(keyType) {}
    // "Key <container id>".
    std::string defaultLabel() const override;
    KeyType keyType_;
};

class RsaPublicKey : public Key {
public:
    RsaPublicKey();
    ~RsaPublicKey() override;
    int SetPublicKey(const CardPublicKeyRecord* record, const CardPublicKey* key);
    // A key not bound to a record (e.g. derived from a private key or certificate).
    int SetPublicKey(const unsigned char* modulus, unsigned long modulusSize,
                     const unsigned char* exponent, unsigned long exponentSize);
    const unsigned char* GetModulus() const { return modulus_.data(); }
    unsigned long GetModulusSize() const { return modulus_.size(); }
    const unsigned char* GetExponent() const { return exponent_.data(); }
    unsigned long GetExponentSize() const { return exponent_.size(); }
    const unsigned char* GetAttrLabel(ReaderCardPair* pair, unsigned long* length);
    const unsigned char* GetAttrId(ReaderCardPair* pair, unsigned long* length);
    CardPublicKeyRecord* GetCardPublicKeyRecord(ReaderCardPair* pair) const;

    // PKCS#1 v1.5 verification: raw (data is the whole block payload, e.g. a DigestInfo)
    // and with a hash object that carries the digest. 0 when the signature is valid.
    int Verify(const unsigned char* data, unsigned long length, const unsigned char* signature,
               unsigned long signatureLength);
    int Verify(Hash* hash, const unsigned char* signature, unsigned long signatureLength);
    // PKCS#1 v1.5 encryption. out null: *outLength is set to the needed length, 0.
    // 104 when *outLength is too small; non-zero when the input is too long.
    int Encrypt(const unsigned char* in, unsigned long inLength, unsigned char* out,
                unsigned long* outLength);

protected:
    bool computeDefaultId(std::vector<unsigned char>& id) const override;
    const CardCommonAttribute* findCommon(ReaderCardPair* pair) const override;

private:
    // The OpenSSL key, made at the first verification or encryption and kept while the
    // components stay the same, with a reference for the caller; null when they form no key.
    EVP_PKEY* openSslKey();
    std::vector<unsigned char> modulus_;
    std::vector<unsigned char> exponent_;
    std::mutex keptMutex_;
    EVP_PKEY* kept_ = nullptr;
};

class RsaPrivateKey : public Key {
public:
    RsaPrivateKey();
    ~RsaPrivateKey() override;
    int SetPrivateKey(const CardPrivateKeyRecord* record);
    CardPrivateKeyRecord* GetCardPrivateKeyRecord(ReaderCardPair* pair) const;
    // The matching public key as a new object (caller deletes), or null.
    RsaPublicKey* GetPublicKey(ReaderCardPair* pair) const;
    // Decryption on the card (ReaderCardPair::Decrypt with this key's record).
    int Decrypt(ReaderCardPair* pair, const unsigned char* in, unsigned long inLength,
                unsigned char* out, unsigned long* outLength);
    const unsigned char* GetAttrLabel(ReaderCardPair* pair, unsigned long* length);
    const unsigned char* GetAttrId(ReaderCardPair* pair, unsigned long* length);

protected:
    bool computeDefaultId(std::vector<unsigned char>& id) const override;
    const CardCommonAttribute* findCommon(ReaderCardPair* pair) const override;

private:
    friend class CoreObject;
    friend class CoreObjectList;
    // Refreshes modulus_ from the public record of the same container.
    void cacheModulus(ReaderCardPair* pair) const;
    mutable std::vector<unsigned char> modulus_;  // cached from the public record for the default ID
};

// Secret key (key types 3 to 6); no card stores them, the class exists for digesting.
class SymKey : public Key {
public:
    explicit SymKey(KeyType keyType) : Key(keyType) {}
    void SetKey(const unsigned char* key, unsigned long length) { key_.assign(key, key + length); }
    const unsigned char* GetKey() const { return key_.data(); }
    unsigned long GetKeySize() const { return key_.size(); }

private:
    std::vector<unsigned char> key_;
};

class Certificate : public CoreObject {
public:
    Certificate();
    ~Certificate() override;
    // Parses DER; non-zero when it is not an X.509 certificate.
    int SetCertificate(const unsigned char* der, unsigned long length);
    // Binds to a card record and takes the DER of the payload.
    int SetCertificate(const CardCertificateRecord* record, const CardCertificate& certificate);
    const unsigned char* GetCertificateData() const { return der_.data(); }
    unsigned long GetCertificateDataSize() const { return der_.size(); }
    const unsigned char* GetSubjectDER() const { return subject_.data(); }
    unsigned long GetSubjectDERSize() const { return subject_.size(); }
    const unsigned char* GetIssuerDER() const { return issuer_.data(); }
    unsigned long GetIssuerDERSize() const { return issuer_.size(); }
    // DER of the serial number INTEGER (tag, length and value).
    const unsigned char* GetSerialNumberDER() const { return serial_.data(); }
    unsigned long GetSerialNumberDERSize() const { return serial_.size(); }
    const unsigned char* GetModulus() const { return modulus_.data(); }
    unsigned long GetModulusSize() const { return modulus_.size(); }
    const unsigned char* GetExponent() const { return exponent_.data(); }
    unsigned long GetExponentSize() const { return exponent_.size(); }
    bool IsCACertificate() const;
    bool IsSelfSigned() const;
    // True when issuer's subject is this certificate's issuer and issuer's key verifies
    // this certificate's signature.
    bool IsIssuedByCert(const Certificate* issuer) const;
    CardCertificateRecord* GetCardCertificateRecord(ReaderCardPair* pair) const;
    const unsigned char* GetAttrLabel(ReaderCardPair* pair, unsigned long* length);
    const unsigned char* GetAttrId(ReaderCardPair* pair, unsigned long* length);

protected:
    bool computeDefaultId(std::vector<unsigned char>& id) const override;
    const CardCommonAttribute* findCommon(ReaderCardPair* pair) const override;
    std::string defaultLabel() const override;

private:
    friend class CoreObject;
    void clear();

    std::vector<unsigned char> der_, subject_, issuer_, serial_, modulus_, exponent_;
    std::vector<unsigned char> keyBits_;  // subjectPublicKey bits, for the ID of non-RSA keys
    std::string subjectCN_;               // UTF-8
    bool ca_ = false;
    bool selfSigned_ = false;
};

class FileStorage : public CoreObject {
public:
    FileStorage();
    ~FileStorage() override;
    int SetFileStorage(const unsigned char* data, unsigned long length, bool reserved);
    int SetFileStorage(const CardFileStorageRecord* record, const CardFileStorage& data);
    const unsigned char* GetFileStorageData() const { return data_.data(); }
    unsigned long GetFileStorageDataSize() const { return data_.size(); }
    CardFileStorageRecord* GetCardFileStorageRecord(ReaderCardPair* pair) const;
    // The data file's name on the card (UTF-8), or empty.
    const unsigned char* GetAttrLabel(ReaderCardPair* pair, unsigned long* length);

protected:
    const CardCommonAttribute* findCommon(ReaderCardPair* pair) const override;
    std::string defaultLabel() const override;

private:
    std::vector<unsigned char> data_;
};

// Objects of one card, by handle. Owns its objects: the destructor destroys those still
// in the list.
class CoreObjectList : public List<CoreObject> {
public:
    CoreObjectList();
    ~CoreObjectList() override;

    using List<CoreObject>::GetFirst;
    using List<CoreObject>::GetLast;
    using List<CoreObject>::GetNext;
    using List<CoreObject>::GetPrev;
    using List<CoreObject>::FindObject;

    // With lock true the object is returned locked; the caller calls CoreObject::Unlock.
    virtual CoreObject* GetFirst(unsigned long& handle, bool lock);
    virtual CoreObject* GetLast(unsigned long& handle, bool lock);
    virtual CoreObject* GetNext(unsigned long& handle, bool lock);
    virtual CoreObject* GetPrev(unsigned long& handle, bool lock);
    virtual CoreObject* FindObject(int index, bool lock);
    virtual CoreObject* FindObject(unsigned long handle, bool lock);

    // Adds an object for every certificate, public key, private key and data file on the
    // card that the list does not hold yet (matched by record identifier). 100 on memory
    // failure, 115 without a card.
    virtual int AddAllObjectFromCard(ReaderCardPair* pair);
    virtual int AddAllCertificateFromCard(ReaderCardPair* pair);
    virtual int AddAllPublicKeyFromCard(ReaderCardPair* pair);
    virtual int AddAllPrivateKeyFromCard(ReaderCardPair* pair);
    virtual int AddAllFileStorageFromCard(ReaderCardPair* pair);

    virtual void Lock() { lock_.Lock(); }
    virtual void Unlock() { lock_.Unlock(); }

private:
    std::unordered_set<uint32_t> heldRecords(CoreObjectType type, int keyType);
    // Adds an object for each record of records() that the list does not hold yet;
    // make(record, object) builds it: 100 stops the walk, another failure skips the record.
    template <typename Records, typename Make>
    int addFromCard(ReaderCardPair* pair, CoreObjectType type, int keyType, const char* what, Records records,
                    Make make);
    ExclusiveLock lock_;
};

}  // namespace Core
}  // namespace Vellumcrest
