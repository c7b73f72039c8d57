#include "core/Hash.h"

#include <openssl/evp.h>
#include <openssl/provider.h>

#include <cstring>
#include <mutex>

#include "core/Log.h"

namespace Vellumcrest {
namespace Core {

namespace {

const char* mdName(HashType type) {
    switch (type) {
        case HashTypeMd4: return "MD4";
        case HashTypeMd5: return "MD5";
        case HashTypeSha1: return "SHA1";
        case HashTypeSha224: return "SHA224";
        case HashTypeSha256: return "SHA256";
        case HashTypeSha384: return "SHA384";
        case HashTypeSha512: return "SHA512";
        default: return nullptr;
    }
}

// The digest methods, fetched once per load of the library and freed when it is unloaded
// (a digest context in use keeps its own reference). MD4 lives in OpenSSL's legacy
// provider, loaded on first use into a library context of our own, so that the
// application's default context stays as the application set it up (and a load of the
// library that needs no MD4 does not pay for the provider).
class Methods {
public:
    Methods() {
        for (int type = HashTypeMd5; type <= HashTypeSha512; ++type)
            methods_[type] = EVP_MD_fetch(nullptr, mdName(static_cast<HashType>(type)), nullptr);
    }
    ~Methods() {
        for (EVP_MD*& md : methods_) {
            EVP_MD_free(md);
            md = nullptr;
        }
        if (legacy_ != nullptr) OSSL_PROVIDER_unload(legacy_);
        OSSL_LIB_CTX_free(legacyContext_);
    }
    Methods(const Methods&) = delete;
    Methods& operator=(const Methods&) = delete;

    const EVP_MD* For(HashType type) {
        if (type == HashTypeMd4) std::call_once(md4Once_, [this] { fetchMd4(); });
        return type >= HashTypeMd4 && type <= HashTypeSha512 ? methods_[type] : nullptr;
    }

private:
    void fetchMd4() {
        legacyContext_ = OSSL_LIB_CTX_new();
        if (legacyContext_ != nullptr) legacy_ = OSSL_PROVIDER_load(legacyContext_, "legacy");
        if (legacy_ != nullptr) methods_[HashTypeMd4] = EVP_MD_fetch(legacyContext_, "MD4", nullptr);
        if (methods_[HashTypeMd4] == nullptr) methods_[HashTypeMd4] = EVP_MD_fetch(nullptr, "MD4", nullptr);
    }

    std::once_flag md4Once_;
    OSSL_LIB_CTX* legacyContext_ = nullptr;
    OSSL_PROVIDER* legacy_ = nullptr;
    EVP_MD* methods_[HashTypeSha512 + 1] = {};
};

Methods& methods() {
    static Methods instance;
    return instance;
}

const EVP_MD* mdFor(HashType type) { return methods().For(type); }

EVP_MD_CTX* ctx(void* context) { return static_cast<EVP_MD_CTX*>(context); }

}  // namespace

void PrepareHashMethods() { methods(); }

// Life of a digest: Update feeds it, Final fixes it (a second Final keeps it), and an
// Update after Final starts a new digest from scratch.
Hash::Hash(HashType type, unsigned long size) : type_(type), size_(size) {
    if (size_ > sizeof(digest_)) size_ = sizeof(digest_);
    start();
}

Hash::~Hash() {
    if (context_ != nullptr) EVP_MD_CTX_free(ctx(context_));
}

bool Hash::start() {
    finished_ = false;
    std::memset(digest_, 0, sizeof(digest_));
    if (type_ == HashTypeSsl3) return true;
    const EVP_MD* md = mdFor(type_);
    if (context_ == nullptr && md != nullptr) context_ = EVP_MD_CTX_new();
    if (md == nullptr || context_ == nullptr || EVP_DigestInit_ex(ctx(context_), md, nullptr) != 1) {
        GetCoreLog()->Error("Hash: digest %s is not available", mdName(type_) ? mdName(type_) : "?");
        if (context_ != nullptr) EVP_MD_CTX_free(ctx(context_));
        context_ = nullptr;
        return false;
    }
    return true;
}

void Hash::Update(const unsigned char* data, unsigned long length) {
    if (finished_) start();
    if (context_ == nullptr || length == 0) return;
    if (data == nullptr) {
        GetCoreLog()->Error("Hash::Update(): no data for %lu bytes", length);
        return;
    }
    EVP_DigestUpdate(ctx(context_), data, length);
}

void Hash::Final() {
    if (finished_) return;
    finished_ = true;
    if (context_ == nullptr) {
        std::memset(digest_, 0, sizeof(digest_));
        GetCoreLog()->Error("Hash::Final(): digest %s is not available, result is zeros",
                            mdName(type_) ? mdName(type_) : "?");
        return;
    }
    unsigned int written = 0;
    if (EVP_DigestFinal_ex(ctx(context_), digest_, &written) != 1 || written != size_) {
        std::memset(digest_, 0, sizeof(digest_));
        GetCoreLog()->Error("Hash::Final(): digest %s failed", mdName(type_));
    }
}

void Hash::SetHash(const unsigned char* digest) {
    if (digest == nullptr) return;
    std::memcpy(digest_, digest, size_);
    finished_ = true;
}

HashMd4::HashMd4() : Hash(HashTypeMd4, 16) {}
HashMd5::HashMd5() : Hash(HashTypeMd5, 16) {}
HashSha1::HashSha1() : Hash(HashTypeSha1, 20) {}
HashSha224::HashSha224() : Hash(HashTypeSha224, 28) {}
HashSha256::HashSha256() : Hash(HashTypeSha256, 32) {}
HashSha384::HashSha384() : Hash(HashTypeSha384, 48) {}
HashSha512::HashSha512() : Hash(HashTypeSha512, 64) {}

// 36 bytes: the MD5 and SHA-1 digests of SSL 3 signatures, signed without DigestInfo.
HashSsl3::HashSsl3() : Hash(HashTypeSsl3, 36) {}
void HashSsl3::Update(const unsigned char*, unsigned long) {}
void HashSsl3::Final() {}

const unsigned char* DigestInfoPrefix(HashType type, unsigned long* length) {
    static const unsigned char md4[] = {0x30, 0x20, 0x30, 0x0c, 0x06, 0x08, 0x2a, 0x86, 0x48,
                                        0x86, 0xf7, 0x0d, 0x02, 0x04, 0x05, 0x00, 0x04, 0x10};
    static const unsigned char md5[] = {0x30, 0x20, 0x30, 0x0c, 0x06, 0x08, 0x2a, 0x86, 0x48,
                                        0x86, 0xf7, 0x0d, 0x02, 0x05, 0x05, 0x00, 0x04, 0x10};
    static const unsigned char sha1[] = {0x30, 0x21, 0x30, 0x09, 0x06, 0x05, 0x2b, 0x0e,
                                         0x03, 0x02, 0x1a, 0x05, 0x00, 0x04, 0x14};
    static const unsigned char sha224[] = {0x30, 0x2d, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01,
                                           0x65, 0x03, 0x04, 0x02, 0x04, 0x05, 0x00, 0x04, 0x1c};
    static const unsigned char sha256[] = {0x30, 0x31, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01,
                                           0x65, 0x03, 0x04, 0x02, 0x01, 0x05, 0x00, 0x04, 0x20};
    static const unsigned char sha384[] = {0x30, 0x41, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01,
                                           0x65, 0x03, 0x04, 0x02, 0x02, 0x05, 0x00, 0x04, 0x30};
    static const unsigned char sha512[] = {0x30, 0x51, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01,
                                           0x65, 0x03, 0x04, 0x02, 0x03, 0x05, 0x00, 0x04, 0x40};
    const unsigned char* prefix = nullptr;
    unsigned long size = 0;
    switch (type) {
        case HashTypeMd4: prefix = md4; size = sizeof(md4); break;
        case HashTypeMd5: prefix = md5; size = sizeof(md5); break;
        case HashTypeSha1: prefix = sha1; size = sizeof(sha1); break;
        case HashTypeSha224: prefix = sha224; size = sizeof(sha224); break;
        case HashTypeSha256: prefix = sha256; size = sizeof(sha256); break;
        case HashTypeSha384: prefix = sha384; size = sizeof(sha384); break;
        case HashTypeSha512: prefix = sha512; size = sizeof(sha512); break;
        default: break;
    }
    if (length != nullptr) *length = size;
    return prefix;
}

}  // namespace Core
}  // namespace Vellumcrest
