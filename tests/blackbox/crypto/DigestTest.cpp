// Digesting through the exported functions, compared with OpenSSL.
#include "CryptoTestUtil.h"

namespace cryptotest {
namespace {

struct DigestCase {
    CK_MECHANISM_TYPE mechanism;
    const char* opensslName;
    CK_ULONG length;
};

const DigestCase kDigests[] = {
    {CKM_MD5, "MD5", 16},       {CKM_SHA_1, "SHA1", 20},     {CKM_SHA224, "SHA224", 28},
    {CKM_SHA256, "SHA256", 32}, {CKM_SHA384, "SHA384", 48}, {CKM_SHA512, "SHA512", 64},
};

class DigestTest : public CryptoTest {
protected:
    CK_RV Init(CK_SESSION_HANDLE session, CK_MECHANISM_TYPE type) {
        CK_MECHANISM mechanism = {type, nullptr, 0};
        return P11()->C_DigestInit(session, &mechanism);
    }
    Bytes OneShot(CK_SESSION_HANDLE session, const Bytes& data) {
        Bytes out(64);
        CK_ULONG length = out.size();
        EXPECT_EQ(P11()->C_Digest(session, const_cast<unsigned char*>(data.data()), data.size(), out.data(), &length),
                  CKR_OK);
        out.resize(length);
        return out;
    }
};

TEST_F(DigestTest, EveryMechanismMatchesOpenSslSingleAndMultiPart) {
    CK_SESSION_HANDLE session = UserSession(slot1_, false);  // no login needed
    Bytes message = Text("The quick brown fox jumps over the lazy dog, twice over for good measure.");
    Bytes head(message.begin(), message.begin() + 20), tail(message.begin() + 20, message.end());
    for (const DigestCase& c : kDigests) {
        SCOPED_TRACE(c.opensslName);
        Bytes expected = Digest(c.opensslName, message);
        ASSERT_EQ(expected.size(), c.length);

        ASSERT_EQ(Init(session, c.mechanism), CKR_OK);
        EXPECT_EQ(HexOf(OneShot(session, message)), HexOf(expected));

        // Updates and Final, with a length query in between that keeps the operation.
        ASSERT_EQ(Init(session, c.mechanism), CKR_OK);
        EXPECT_EQ(P11()->C_DigestUpdate(session, head.data(), head.size()), CKR_OK);
        EXPECT_EQ(P11()->C_DigestUpdate(session, tail.data(), tail.size()), CKR_OK);
        CK_ULONG length = 0;
        EXPECT_EQ(P11()->C_DigestFinal(session, nullptr, &length), CKR_OK);
        EXPECT_EQ(length, c.length);
        Bytes out(length);
        EXPECT_EQ(P11()->C_DigestFinal(session, out.data(), &length), CKR_OK);
        EXPECT_EQ(HexOf(out), HexOf(expected));

        // Update followed by C_Digest over the rest joins both parts.
        ASSERT_EQ(Init(session, c.mechanism), CKR_OK);
        EXPECT_EQ(P11()->C_DigestUpdate(session, head.data(), head.size()), CKR_OK);
        EXPECT_EQ(HexOf(OneShot(session, tail)), HexOf(expected));
    }
}

TEST_F(DigestTest, LengthQueryAndNullLengthKeepShortBufferEndsTheOperation) {
    CK_SESSION_HANDLE session = UserSession(slot1_, false);
    Bytes data = Text("abc"), out(32);
    ASSERT_EQ(Init(session, CKM_SHA_1), CKR_OK);
    CK_ULONG length = 0;
    EXPECT_EQ(P11()->C_Digest(session, data.data(), data.size(), nullptr, &length), CKR_OK);
    EXPECT_EQ(length, 20u);
    EXPECT_EQ(P11()->C_Digest(session, data.data(), data.size(), out.data(), nullptr), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(P11()->C_Digest(session, data.data(), data.size(), nullptr, nullptr), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(P11()->C_DigestFinal(session, out.data(), nullptr), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(P11()->C_DigestFinal(session, nullptr, nullptr), CKR_ARGUMENTS_BAD);
    // A second init is refused and the first goes on.
    EXPECT_EQ(Init(session, CKM_SHA256), CKR_OPERATION_ACTIVE);
    EXPECT_EQ(HexOf(OneShot(session, data)), HexOf(Digest("SHA1", data)));
    ASSERT_EQ(Init(session, CKM_SHA_1), CKR_OK);
    length = 19;
    EXPECT_EQ(P11()->C_Digest(session, data.data(), data.size(), out.data(), &length), CKR_BUFFER_TOO_SMALL);
    length = 20;
    EXPECT_EQ(P11()->C_Digest(session, data.data(), data.size(), out.data(), &length),
              CKR_OPERATION_NOT_INITIALIZED);

    ASSERT_EQ(Init(session, CKM_MD5), CKR_OK);
    EXPECT_EQ(P11()->C_DigestUpdate(session, data.data(), data.size()), CKR_OK);
    length = 15;
    EXPECT_EQ(P11()->C_DigestFinal(session, out.data(), &length), CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(P11()->C_DigestUpdate(session, data.data(), data.size()), CKR_OPERATION_NOT_INITIALIZED);
}

TEST_F(DigestTest, UnknownMechanismsAndBadArguments) {
    CK_SESSION_HANDLE session = UserSession(slot1_, false);
    EXPECT_EQ(Init(session, CKM_MD2), CKR_MECHANISM_INVALID);
    EXPECT_EQ(Init(session, CKM_SHA256_RSA_PKCS), CKR_MECHANISM_INVALID);
    EXPECT_EQ(Init(session, CKM_RSA_PKCS), CKR_MECHANISM_INVALID);
    Bytes data = Text("x");
    CK_ULONG length = 0;

    EXPECT_EQ(P11()->C_DigestInit(session, nullptr), CKR_ARGUMENTS_BAD);
    CK_MECHANISM sha = {CKM_SHA256, nullptr, 0};
    EXPECT_EQ(P11()->C_DigestInit(0, &sha), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(P11()->C_DigestInit(0xBEEF, &sha), CKR_SESSION_HANDLE_INVALID);
    ASSERT_EQ(P11()->C_DigestInit(session, &sha), CKR_OK);
    EXPECT_EQ(P11()->C_DigestUpdate(session, nullptr, 4), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(P11()->C_Digest(session, nullptr, 0, nullptr, &length), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(P11()->C_DigestKey(session, 0), CKR_ARGUMENTS_BAD);
    // None of these failures touched the running digest.
    EXPECT_EQ(HexOf(OneShot(session, data)), HexOf(Digest("SHA256", data)));
}

TEST_F(DigestTest, DigestKeyRefusesRsaKeysAndOtherObjects) {
    CK_SESSION_HANDLE session = UserSession(slot1_);
    CK_OBJECT_HANDLE privateKey = FindKey(session, CKO_PRIVATE_KEY, kKey2048Id);
    CK_OBJECT_HANDLE publicKey = FindKey(session, CKO_PUBLIC_KEY, kKey2048Id);
    CK_OBJECT_HANDLE data = FindFirstOfClass(session, CKO_DATA);
    ASSERT_NE(data, 0u);
    for (CK_OBJECT_HANDLE object : {privateKey, publicKey, data}) {
        ASSERT_EQ(Init(session, CKM_SHA256), CKR_OK);
        EXPECT_EQ(P11()->C_DigestKey(session, object), CKR_KEY_INDIGESTIBLE);
        // The failure ended the operation.
        EXPECT_EQ(P11()->C_DigestUpdate(session, reinterpret_cast<CK_BYTE_PTR>(const_cast<char*>("x")), 1),
                  CKR_OPERATION_NOT_INITIALIZED);
    }
    ASSERT_EQ(Init(session, CKM_SHA256), CKR_OK);
    EXPECT_EQ(P11()->C_DigestKey(session, 0x7FFF), CKR_KEY_HANDLE_INVALID);
    CK_ULONG length = 0;
    EXPECT_EQ(P11()->C_DigestFinal(session, nullptr, &length), CKR_OPERATION_NOT_INITIALIZED);
    EXPECT_EQ(P11()->C_DigestKey(session, privateKey), CKR_OPERATION_NOT_INITIALIZED);
}

// One digest per slot, continued only by the session that started it.
TEST_F(DigestTest, OneDigestPerSlotOwnedByItsSession) {
    CK_SESSION_HANDLE first = UserSession(slot1_, false);
    CK_SESSION_HANDLE second = UserSession(slot1_, false);
    CK_SESSION_HANDLE other = UserSession(slot4_, false);
    Bytes a = Text("part one, "), b = Text("part two");
    ASSERT_EQ(Init(first, CKM_SHA384), CKR_OK);
    // Another slot has its own digest state.
    EXPECT_EQ(Init(other, CKM_SHA384), CKR_OK);
    EXPECT_EQ(Init(second, CKM_SHA_1), CKR_OPERATION_ACTIVE);
    EXPECT_EQ(P11()->C_DigestUpdate(second, b.data(), b.size()), CKR_OPERATION_NOT_INITIALIZED);
    EXPECT_EQ(P11()->C_DigestUpdate(first, a.data(), a.size()), CKR_OK);
    EXPECT_EQ(P11()->C_DigestUpdate(first, b.data(), b.size()), CKR_OK);
    Bytes out(48);
    CK_ULONG length = out.size();
    EXPECT_EQ(P11()->C_DigestFinal(second, out.data(), &length), CKR_OPERATION_NOT_INITIALIZED);
    EXPECT_EQ(P11()->C_Digest(second, a.data(), a.size(), out.data(), &length), CKR_OPERATION_NOT_INITIALIZED);
    EXPECT_EQ(P11()->C_DigestFinal(first, out.data(), &length), CKR_OK);
    Bytes joined = a;
    joined.insert(joined.end(), b.begin(), b.end());
    EXPECT_EQ(HexOf(out), HexOf(Digest("SHA384", joined)));
    EXPECT_EQ(P11()->C_DigestFinal(first, out.data(), &length), CKR_OPERATION_NOT_INITIALIZED);
    EXPECT_EQ(P11()->C_DigestFinal(other, out.data(), &length), CKR_OK);

    // Closing the last session of the slot drops the operation.
    ASSERT_EQ(Init(first, CKM_SHA256), CKR_OK);
    ASSERT_EQ(P11()->C_CloseSession(first), CKR_OK);
    ASSERT_EQ(P11()->C_CloseSession(second), CKR_OK);
    EXPECT_EQ(Init(UserSession(slot1_, false), CKM_SHA256), CKR_OK);
}

}  // namespace
}  // namespace cryptotest
