#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

#include "OpensslHelpers.h"
#include "core/Hash.h"

using namespace Vellumcrest::Core;
using coretest::Hex;
using coretest::MakeHash;

namespace {

std::string HexOf(const Hash& hash) { return Hex(hash.GetHash(), hash.GetSize()); }

struct Vector {
    HashType type;
    unsigned long size;
    const char* abc;  // digest of "abc" (RFC 1320, RFC 1321, FIPS 180-4 examples)
};

const Vector kVectors[] = {
    {HashTypeMd4, 16, "a448017aaf21d8525fc10ae87aa6729d"},
    {HashTypeMd5, 16, "900150983cd24fb0d6963f7d28e17f72"},
    {HashTypeSha1, 20, "a9993e364706816aba3e25717850c26c9cd0d89d"},
    {HashTypeSha224, 28, "23097d223405d8228642a477bda255b32aadbce4bda0b3f7e36c9da7"},
    {HashTypeSha256, 32, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
    {HashTypeSha384, 48,
     "cb00753f45a35e8bb5a03d699ac65007272c32ab0eded1631a8b605a43ff5bed8086072ba1e7cc2358baeca134c825a7"},
    {HashTypeSha512, 64,
     "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a2192992a274fc1a836ba3c23a3feebbd"
     "454d4423643ce80e2a9ac94fa54ca49f"},
};

}  // namespace

TEST(Hash, KnownDigestsOfAbcAndMultiPartEqualsOneShot) {
    const unsigned char abc[] = {'a', 'b', 'c'};
    for (const Vector& v : kVectors) {
        SCOPED_TRACE(v.type);
        auto oneShot = MakeHash(v.type);
        EXPECT_EQ(oneShot->GetType(), v.type);
        EXPECT_EQ(oneShot->GetSize(), v.size);
        oneShot->Update(abc, 3);
        oneShot->Final();
        EXPECT_EQ(HexOf(*oneShot), v.abc);

        auto parts = MakeHash(v.type);
        parts->Update(abc, 1);
        parts->Update(nullptr, 0);
        parts->Update(abc + 1, 2);
        parts->Final();
        EXPECT_EQ(HexOf(*parts), v.abc);
    }
}

TEST(Hash, LongInputInPiecesMatchesOpenSslAndFinalStartsANewMessage) {
    coretest::Bytes data(1000003);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<unsigned char>(i * 31 + 7);
    HashSha256 hash;
    hash.Update(nullptr, 10);  // refused, no crash
    for (size_t offset = 0; offset < data.size(); offset += 4093)
        hash.Update(data.data() + offset, std::min<size_t>(4093, data.size() - offset));
    hash.Final();
    hash.Final();  // a second Final keeps the digest
    EXPECT_EQ(HexOf(hash), Hex(coretest::Digest(EVP_sha256(), data)));
    // Update after Final starts a new message.
    const unsigned char abc[] = {'a', 'b', 'c'};
    hash.Update(abc, 3);
    hash.Final();
    EXPECT_EQ(HexOf(hash), kVectors[4].abc);

    unsigned char digest[36];
    for (int i = 0; i < 36; ++i) digest[i] = static_cast<unsigned char>(0xA0 + i);
    hash.SetHash(digest);
    hash.SetHash(nullptr);  // ignored
    EXPECT_EQ(Hex(hash.GetHash(), 32), Hex(digest, 32));
    HashSsl3 ssl3;  // carries 36 given bytes and computes nothing
    EXPECT_EQ(ssl3.GetSize(), 36u);
    ssl3.Update(digest, 3);
    ssl3.Final();
    EXPECT_EQ(Hex(ssl3.GetHash(), 36), std::string(72, '0'));
}

TEST(Hash, DigestInfoPrefixesAreDerOfTheAlgorithm) {
    // The prefix and a digest make a complete DigestInfo: SEQUENCE { AlgorithmIdentifier, OCTET STRING }.
    const struct {
        HashType type;
        int nid;
    } cases[] = {{HashTypeMd4, NID_md4},       {HashTypeMd5, NID_md5},       {HashTypeSha1, NID_sha1},
                 {HashTypeSha224, NID_sha224}, {HashTypeSha256, NID_sha256}, {HashTypeSha384, NID_sha384},
                 {HashTypeSha512, NID_sha512}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.type);
        unsigned long length = 0;
        const unsigned char* prefix = DigestInfoPrefix(c.type, &length);
        ASSERT_NE(prefix, nullptr);
        auto hash = MakeHash(c.type);
        coretest::Bytes info(prefix, prefix + length);
        info.resize(length + hash->GetSize(), 0x5A);
        const unsigned char* p = info.data();
        X509_SIG* sig = d2i_X509_SIG(nullptr, &p, static_cast<long>(info.size()));
        ASSERT_NE(sig, nullptr);
        EXPECT_EQ(p, info.data() + info.size()) << "the prefix lengths cover exactly the digest";
        const X509_ALGOR* algorithm = nullptr;
        const ASN1_OCTET_STRING* digest = nullptr;
        X509_SIG_get0(sig, &algorithm, &digest);
        const ASN1_OBJECT* oid = nullptr;
        X509_ALGOR_get0(&oid, nullptr, nullptr, algorithm);
        EXPECT_EQ(OBJ_obj2nid(oid), c.nid);
        EXPECT_EQ(static_cast<unsigned long>(ASN1_STRING_length(digest)), hash->GetSize());
        X509_SIG_free(sig);
    }
    unsigned long length = 99;
    EXPECT_EQ(DigestInfoPrefix(HashTypeSsl3, &length), nullptr);
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(DigestInfoPrefix(static_cast<HashType>(42), nullptr), nullptr);
}
