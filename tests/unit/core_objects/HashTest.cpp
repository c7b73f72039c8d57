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

// The other digests are compared with OpenSSL through C_Digest; MD4 is not reachable there.
const char* kMd4Abc = "a448017aaf21d8525fc10ae87aa6729d";  // RFC 1320
const char* kSha256Abc = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";

}  // namespace

TEST(Hash, Md4KnownDigestInParts) {
    const unsigned char abc[] = {'a', 'b', 'c'};
    HashMd4 parts;
    EXPECT_EQ(parts.GetSize(), 16u);
    parts.Update(abc, 1);
    parts.Update(nullptr, 0);
    parts.Update(abc + 1, 2);
    parts.Final();
    EXPECT_EQ(HexOf(parts), kMd4Abc);
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
    EXPECT_EQ(HexOf(hash), kSha256Abc);

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
