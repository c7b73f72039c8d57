// Keys stay unsealed between private-key operations only while the PIN cache holds the PIN,
// and a kept key is never used without the card's login of that call or for another key.
#include <openssl/pem.h>

#include <cstdio>

#include "CryptoTestUtil.h"

namespace cryptotest {
namespace {

class KeptKeyTest : public CryptoTest {
protected:
    CK_RV Sign(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE key, const Bytes& data, Bytes* signature) {
        CK_RV rv = Init(P11()->C_SignInit, session, key);
        return rv != CKR_OK ? rv : Call(P11()->C_Sign, session, data, signature);
    }
    // The data a signature carries under the key that the card tool exports for the ID.
    Bytes RecoverWithExported(const std::string& card, const std::string& idHex, const Bytes& signature) {
        vctest::TestEnv& env = vctest::TestEnv::Get();
        std::string pem = env.Path("exported-" + idHex + ".pem");
        env.ToolOk("pubkey-export " + card + " --id " + idHex + " --out '" + pem + "'");
        FILE* file = std::fopen(pem.c_str(), "r");
        EVP_PKEY* key = file != nullptr ? PEM_read_PUBKEY(file, nullptr, nullptr, nullptr) : nullptr;
        if (file != nullptr) std::fclose(file);
        Bytes out(512);
        size_t length = out.size();
        EVP_PKEY_CTX* ctx = key != nullptr ? EVP_PKEY_CTX_new(key, nullptr) : nullptr;
        bool ok = ctx != nullptr && EVP_PKEY_verify_recover_init(ctx) == 1 &&
                  EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING) == 1 &&
                  EVP_PKEY_verify_recover(ctx, out.data(), &length, signature.data(), signature.size()) == 1;
        EVP_PKEY_CTX_free(ctx);
        EVP_PKEY_free(key);
        out.resize(ok ? length : 0);
        return out;
    }
};

TEST_F(KeptKeyTest, LogoutEndsTheUseOfAKeptKey) {
    OpenR1();
    Bytes info = Sha256DigestInfo(Text("kept")), signature;
    for (int round = 0; round < 2; ++round) ASSERT_EQ(Sign(session_, priv2048_, info, &signature), CKR_OK);
    Bytes cipher = PublicKey(session_, pub2048_).Encrypt(Text("secret"));

    // An operation started before the logout finds no PIN to log the card in with.
    ASSERT_EQ(Init(P11()->C_SignInit, session_, priv2048_), CKR_OK);
    ASSERT_EQ(Init(P11()->C_DecryptInit, session_, priv2048_), CKR_OK);
    ASSERT_EQ(P11()->C_Logout(session_), CKR_OK);
    EXPECT_NE(Call(P11()->C_Sign, session_, info, &signature), CKR_OK);
    Bytes plain;
    EXPECT_NE(Call(P11()->C_Decrypt, session_, cipher, &plain), CKR_OK);
    EXPECT_EQ(Sign(session_, priv2048_, info, &signature), CKR_USER_NOT_LOGGED_IN);

    ASSERT_EQ(Login(session_), CKR_OK);
    ASSERT_EQ(Sign(session_, priv2048_, info, &signature), CKR_OK);
    EXPECT_EQ(HexOf(PublicKey(session_, pub2048_).Recover(signature)), HexOf(info));
}

// The PIN changes, the card's key is replaced under the same record (another application
// restored an older image and made a new key), the card is swapped: each signature is made
// with the key that is on the card at that moment.
TEST_F(KeptKeyTest, SignaturesFollowPinChangeReplacedKeyAndCardSwap) {
    vctest::TestEnv& env = vctest::TestEnv::Get();
    std::string card = env.MakeReaderWithCard("S-kept", 1, kUserPin, kSoPin);
    std::string image = env.ReadersDir() + "/S-kept/card.vcard";
    std::string empty = vctest::ReadFile(image);
    env.ToolOk("key-generate " + card + " --bits 1024 --id 77 --usage sign,decrypt");
    CK_SLOT_ID slot = SlotOf("S-kept");
    CK_SESSION_HANDLE session = vctest::OpenSession(slot, true);
    ASSERT_EQ(Login(session), CKR_OK);
    CK_OBJECT_HANDLE key = FindKey(session, CKO_PRIVATE_KEY, "77");
    Bytes info = Sha256DigestInfo(Text("follow the card")), first, signature;
    ASSERT_EQ(Sign(session, key, info, &first), CKR_OK);

    // Same card identity, same record identifier, another key; the cached PIN still opens it.
    vctest::WriteFile(image + ".new", empty);
    ASSERT_EQ(std::rename((image + ".new").c_str(), image.c_str()), 0);
    env.ToolOk("key-generate " + card + " --bits 1024 --id 77 --usage sign,decrypt");
    ASSERT_EQ(Sign(session, key, info, &signature), CKR_OK);
    EXPECT_NE(HexOf(signature), HexOf(first));
    EXPECT_EQ(HexOf(RecoverWithExported(card, "77", signature)), HexOf(info));
    Bytes second = signature;

    const std::string newPin = "Np55x1";
    ASSERT_EQ(P11()->C_SetPIN(session, (CK_UTF8CHAR_PTR)kUserPin, std::strlen(kUserPin),
                              (CK_UTF8CHAR_PTR)newPin.data(), newPin.size()),
              CKR_OK);
    ASSERT_EQ(Sign(session, key, info, &signature), CKR_OK);
    EXPECT_EQ(HexOf(signature), HexOf(second));

    // Another card in the reader: the old sessions go, the new card's key signs.
    env.ToolOk("card-remove S-kept '" + env.Path("s-kept-old.vcard") + "'");
    std::string other = env.Path("s-kept-other.vcard");
    env.ToolOk("card-create '" + other + "' --type 1 --user-pin " + kUserPin + " --so-pin " + kSoPin);
    env.ToolOk("key-generate '" + other + "' --bits 1024 --id 77 --usage sign,decrypt");
    env.ToolOk("card-insert S-kept '" + other + "'");
    EXPECT_NE(Sign(session, key, info, &signature), CKR_OK);
    session = vctest::OpenSession(SlotOf("S-kept"), false);
    ASSERT_EQ(Login(session), CKR_OK);
    key = FindKey(session, CKO_PRIVATE_KEY, "77");
    ASSERT_EQ(Sign(session, key, info, &signature), CKR_OK);
    EXPECT_EQ(HexOf(PublicKey(session, FindKey(session, CKO_PUBLIC_KEY, "77")).Recover(signature)), HexOf(info));
    EXPECT_EQ(HexOf(RecoverWithExported(card, "77", signature)), HexOf(info));
    P11()->C_CloseAllSessions(SlotOf("S-kept"));
    env.ToolOk("reader-remove S-kept");
}

}  // namespace
}  // namespace cryptotest
