// Keys on a card reached through a channel: made on the card or imported into it, used by
// it (PKCS#1, PSS, OAEP, proof), the results checked with OpenSSL.
#include "LoopbackCard.h"

using namespace remotetest;
using namespace Vellumcrest::Core;

TEST_F(LoopbackTest, KeysMadeOnTheCardSignAndDecryptWithEveryPadding) {
    Serve("--type 1 --user-pin 1234 --memory 60000");
    // The card makes the key: nothing is prepared in the application.
    PreparedKeyPair prepared;
    ASSERT_EQ(pair_->PrepareKeyPair(KeyPairFlagSign | KeyPairFlagDecrypt | KeyPairFlag2048, &prepared), CoreOk);
    EXPECT_FALSE(prepared.IsReady());
    ASSERT_EQ(pair_->Open(), CoreOk);
    CardPrivateKeyRecord* priv = nullptr;
    CardPublicKeyRecord* pub = nullptr;
    ASSERT_EQ(MakeKeyPair(KeyPairFlagSign | KeyPairFlagDecrypt | KeyPairFlag2048, &priv, &pub, nullptr, &prepared),
              CoreOk);
    EXPECT_EQ(priv->signatureLength, 256u);
    EXPECT_EQ(priv->flags & CardRecordFlagImported, 0u);
    EXPECT_EQ(pair_->FindCardPublicKeyRecord(priv), pub);
    coretest::Pkey key = PublicKeyOf(pair_.get(), pub);
    ASSERT_TRUE(key);
    ASSERT_EQ(LoginAs(1, "1234"), CoreOk);

    // PKCS#1: the length query and a short buffer are answered without the card.
    Bytes data = DigestInfo("message");
    unsigned long length = 0;
    int before = channel_->commands;
    EXPECT_EQ(pair_->Sign(priv, data.data(), data.size(), nullptr, &length), CoreOk);
    EXPECT_EQ(length, 256u);
    length = 255;
    unsigned char signature[256];
    EXPECT_EQ(pair_->Sign(priv, data.data(), data.size(), signature, &length), CoreBufferTooSmall);
    EXPECT_EQ(channel_->commands, before);
    length = sizeof signature;
    ASSERT_EQ(pair_->Sign(priv, data.data(), data.size(), signature, &length), CoreOk);
    EXPECT_TRUE(VerifiesPkcs1(key.get(), data, signature, length));

    // PSS with SHA-256 and SHA-384, verified at the exact salt length.
    for (HashType hash : {HashTypeSha256, HashTypeSha384}) {
        SCOPED_TRACE(hash);
        Bytes digest = coretest::Digest(hash == HashTypeSha256 ? EVP_sha256() : EVP_sha384(), coretest::ToBytes("m"));
        length = sizeof signature;
        ASSERT_EQ(pair_->SignPss(priv, hash, hash, digest.size(), digest.data(), digest.size(), signature, &length),
                  CoreOk);
        EXPECT_TRUE(CardCrypto::RsaVerifyPss(key.get(), hash, hash, digest.size(), digest.data(), digest.size(),
                                             signature, length));
    }

    // PKCS#1 decryption: exact length on a short buffer, bad padding as such.
    Bytes cipher = EncryptPkcs1(key.get(), "secret text");
    unsigned char plain[256];
    length = 5;
    EXPECT_EQ(pair_->Decrypt(priv, cipher.data(), cipher.size(), plain, &length), CoreBufferTooSmall);
    EXPECT_EQ(length, 11u);
    length = sizeof plain;
    ASSERT_EQ(pair_->Decrypt(priv, cipher.data(), cipher.size(), plain, &length), CoreOk);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(plain), length), "secret text");
    Bytes garbage(256, 0x11);
    length = sizeof plain;
    EXPECT_EQ(pair_->Decrypt(priv, garbage.data(), garbage.size(), plain, &length), CoreInvalidEncryptedData);

    // OAEP with a label; another label is invalid data.
    const unsigned char label[] = {'L', '1'};
    std::vector<unsigned char> oaep;
    const unsigned char text[] = "oaep text";
    ASSERT_TRUE(CardCrypto::RsaEncryptOaep(key.get(), HashTypeSha256, HashTypeSha1, label, sizeof label, text,
                                           sizeof text, &oaep));
    length = sizeof plain;
    ASSERT_EQ(pair_->DecryptOaep(priv, HashTypeSha256, HashTypeSha1, label, sizeof label, oaep.data(), oaep.size(),
                                 plain, &length),
              CoreOk);
    EXPECT_EQ(Bytes(plain, plain + length), Bytes(text, text + sizeof text));
    length = sizeof plain;
    EXPECT_EQ(pair_->DecryptOaep(priv, HashTypeSha256, HashTypeSha1, nullptr, 0, oaep.data(), oaep.size(), plain,
                                 &length),
              CoreInvalidEncryptedData);

    // The card proves that it made the key.
    unsigned char proof[256];
    length = sizeof proof;
    ASSERT_EQ(pair_->ComputeProof(pub, proof, &length), CoreOk);
    EXPECT_GT(length, 8u);
    EXPECT_EQ(proof[0], 0x30);
    pair_->Close();
}

TEST_F(LoopbackTest, ImportedKeysGoToTheCardAndRecordsStayValidUntilUnlock) {
    Serve("--type 1 --user-pin 1234 --memory 60000");
    coretest::Pkey own = coretest::RsaKey(1024);
    RsaParam param = RsaParamOf(own.get());
    ASSERT_EQ(pair_->Open(), CoreOk);
    ASSERT_EQ(LoginAs(1, "1234"), CoreOk);
    CardContainerRecord* container = nullptr;
    CardPrivateKeyRecord* priv = nullptr;
    CardPublicKeyRecord* pub = nullptr;
    ASSERT_EQ(MakeKeyPair(KeyPairFlagSign, &priv, &pub, &param, nullptr, &container), CoreOk);
    EXPECT_NE(priv->flags & CardRecordFlagImported, 0u);
    EXPECT_EQ(OnCard()->privateKeys.size(), 1u);
    unsigned char proof[128];
    unsigned long length = sizeof proof;
    EXPECT_EQ(pair_->ComputeProof(pub, proof, &length), CoreProofNotAvailable);

    Bytes data = DigestInfo("imported");
    unsigned char signature[128];
    length = sizeof signature;
    ASSERT_EQ(pair_->Sign(priv, data.data(), data.size(), signature, &length), CoreOk);
    EXPECT_TRUE(VerifiesPkcs1(own.get(), data, signature, length)) << "signed with the imported key";

    // Records handed out stay the same objects across writes, as on a card kept in memory;
    // one deleted meanwhile stays readable until the pair is unlocked.
    CardFileStorageRecord* file = nullptr;
    CardFileStorage content(data.data(), data.size());
    ASSERT_EQ(pair_->CreateFileStorage(orvostd::OrvoStringW(), ContainerId_DATA, 0, content, &file, false), CoreOk);
    EXPECT_EQ(pair_->FindCardPrivateKeyRecordById(priv->recordId), priv);
    length = sizeof signature;
    EXPECT_EQ(pair_->Sign(priv, data.data(), data.size(), signature, &length), CoreOk);
    const uint32_t fileId = file->recordId;
    pair_->Lock();
    ASSERT_EQ(pair_->DeleteFileStorage(file), CoreOk);
    EXPECT_EQ(file->recordId, fileId);
    EXPECT_EQ(pair_->FindCardFileStorageRecordById(fileId), nullptr);
    pair_->Unlock();

    // A bad key is refused before anything reaches the card.
    RsaParam broken = param;
    broken.SetD(param.P().data(), param.P().size());
    int before = channel_->commands;
    EXPECT_EQ(pair_->GenerateKeyPair(container, KeyPairFlagSign, &priv, &pub, &broken), CoreInvalidArgument);
    EXPECT_EQ(channel_->commands, before);

    priv = pair_->GetPrivateKeyRecords().at(0);
    pub = pair_->FindCardPublicKeyRecord(priv);
    ASSERT_EQ(pair_->DeleteKeyPair(priv, pub), CoreOk);
    EXPECT_TRUE(pair_->GetPrivateKeyRecords().empty());
    EXPECT_TRUE(pair_->GetPublicKeyRecords().empty());
    EXPECT_TRUE(OnCard()->privateKeys.empty());
    pair_->Close();
}
