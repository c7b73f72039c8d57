// Message digests (OpenSSL). HashSsl3 computes nothing: it marks raw RSA PKCS#1 input.
#pragma once

#include "core/CoreTypes.h"

namespace Vellumcrest {
namespace Core {

class VC_LIST_ELEMENT Hash {
public:
    virtual ~Hash();
    virtual void Update(const unsigned char* data, unsigned long length);
    virtual void Final();

    unsigned long GetSize() const { return size_; }
    const unsigned char* GetHash() const { return digest_; }
    HashType GetType() const { return type_; }
    // Sets the digest directly (GetSize() bytes), e.g. for verification of a given digest.
    void SetHash(const unsigned char* digest);

protected:
    Hash(HashType type, unsigned long size);

private:
    Hash(const Hash&) = delete;
    Hash& operator=(const Hash&) = delete;
    bool start();

    void* context_ = nullptr;  // EVP_MD_CTX
    bool finished_ = false;
    HashType type_;
    unsigned long size_;
    unsigned char digest_[64] = {};
};

class HashMd4 : public Hash { public: HashMd4(); };
class HashMd5 : public Hash { public: HashMd5(); };
class HashSha1 : public Hash { public: HashSha1(); };
class HashSha224 : public Hash { public: HashSha224(); };
class HashSha256 : public Hash { public: HashSha256(); };
class HashSha384 : public Hash { public: HashSha384(); };
class HashSha512 : public Hash { public: HashSha512(); };
class HashSsl3 : public Hash {
public:
    HashSsl3();
    void Update(const unsigned char* data, unsigned long length) override;
    void Final() override;
};

// Fetches the digest methods now; they are freed when the library is unloaded, after
// everything made later is gone.
void PrepareHashMethods();

// DER DigestInfo prefix for a hash type (null and 0 for HashTypeSsl3 and MD4 without OID).
const unsigned char* DigestInfoPrefix(HashType type, unsigned long* length);

}  // namespace Core
}  // namespace Vellumcrest
