// The card side of the APDU set over real virtual cards: selection and identity, the public
// image, PINs, private-key operations checked with OpenSSL, content commands, chaining and
// malformed input.
#include <openssl/x509.h>

#include "ApduTestUtil.h"
#include "unit/core_objects/OpensslHelpers.h"
#include "core/CardCrypto.h"

using namespace Vellumcrest::Core;
using namespace apdutest;

namespace {

const Bytes kAidBytes(Apdu::kAid, Apdu::kAid + 8);

// SHA-256 DigestInfo of "message".
Bytes digestInfo() {
    static const unsigned char prefix[] = {0x30, 0x31, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01,
                                           0x65, 0x03, 0x04, 0x02, 0x01, 0x05, 0x00, 0x04, 0x20};
    Bytes info(prefix, prefix + sizeof prefix);
    Bytes digest = CardCrypto::Sha256(reinterpret_cast<const unsigned char*>("message"), 7);
    info.insert(info.end(), digest.begin(), digest.end());
    return info;
}

// Self-signed certificate of key (DER).
Bytes selfSigned(EVP_PKEY* key, const char* cn) {
    X509* x509 = X509_new();
    X509_set_version(x509, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(x509), 7);
    X509_gmtime_adj(X509_getm_notBefore(x509), 0);
    X509_gmtime_adj(X509_getm_notAfter(x509), 86400);
    X509_NAME* name = X509_get_subject_name(x509);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(cn), -1, -1, 0);
    X509_set_issuer_name(x509, name);
    X509_set_pubkey(x509, key);
    X509_sign(x509, key, EVP_sha256());
    int length = i2d_X509(x509, nullptr);
    Bytes der(static_cast<size_t>(length));
    unsigned char* cursor = der.data();
    i2d_X509(x509, &cursor);
    X509_free(x509);
    return der;
}

Bytes pkcs8(EVP_PKEY* key) {
    SecureBytes der;
    EXPECT_TRUE(CardCrypto::PrivateKeyToDer(key, &der));
    return Bytes(der.data(), der.data() + der.size());
}

Bytes u32(unsigned char tag, uint32_t value) { return Apdu::TlvWriter().AddU32(tag, value).Take(); }

}  // namespace

TEST_F(ApduTest, SelectionIdentityAndAPublicImageWithoutSecrets) {
    Serve("--type 3 --id EMU0001 --so-pin 87654321 --user-pin 1234 --memory 20000");
    ToolOk("key-generate " + cardtest::Quote(path_) + " --bits 1024 --label Signer");

    EXPECT_EQ(Sw(0x00, Apdu::InsGetData, 0x01, 0x01), Apdu::SwConditionsNotSatisfied) << "nothing before SELECT";
    EXPECT_EQ(Sw(0x00, Apdu::InsSelect, 0x04, 0x00, Text("foreign")), Apdu::SwApplicationNotFound);
    Response fci = Command(0x00, Apdu::InsSelect, 0x04, 0x00, kAidBytes, 256);
    ASSERT_EQ(fci.sw, Apdu::SwOk);
    Bytes expectedFci = {0x6F, 0x0A, 0x84, 0x08};
    expectedFci.insert(expectedFci.end(), kAidBytes.begin(), kAidBytes.end());
    EXPECT_EQ(fci.data, expectedFci);

    Response identity = Command(0x00, Apdu::InsGetData, 0x01, 0x01, Bytes(), 256);
    ASSERT_EQ(identity.sw, Apdu::SwOk);
    Apdu::TlvReader tlv;
    ASSERT_TRUE(tlv.Parse(identity.data));
    uint64_t serial = 0, generation = 0;
    unsigned type = 0;
    EXPECT_EQ(*tlv.Find(Apdu::kIdentityCardId), Text("EMU0001"));
    EXPECT_TRUE(tlv.U64(Apdu::kIdentitySerial, &serial) && tlv.U64(Apdu::kIdentityGeneration, &generation));
    EXPECT_TRUE(tlv.U8(Apdu::kIdentityCardType, &type));
    EXPECT_EQ(type, 3u);

    std::unique_ptr<CardImage> full;
    CardFileStamp stamp;
    ASSERT_EQ(ReadCardImage(path_, &full, &stamp), CoreOk);
    EXPECT_EQ(serial, full->insertionSerial);
    EXPECT_EQ(generation, full->generation);

    // Read in small parts, the image is the card's: records, counters and memory as on the
    // card, and not one secret.
    Bytes raw;
    std::unique_ptr<CardImage> image = PublicImage(1000, &raw);
    ASSERT_TRUE(image);
    EXPECT_TRUE(image->publicOnly);
    EXPECT_EQ(image->cardId, "EMU0001");
    EXPECT_EQ(image->FreeMemory(), full->FreeMemory());
    ASSERT_EQ(image->privateKeys.size(), 1u);
    EXPECT_TRUE(image->privateKeys[0]->sealedKey.empty() && image->privateKeys[0]->wrappedDataKey.empty());
    EXPECT_EQ(image->privateKeys[0]->record.common.GetLabel(), "Signer");
    EXPECT_EQ(image->publicKeys[0]->modulus, full->publicKeys[0]->modulus);
    for (int authId = 1; authId <= 2; ++authId) {
        EXPECT_TRUE(image->pins[authId].initialised);
        EXPECT_TRUE(image->pins[authId].salt.empty() && image->pins[authId].verifier.empty() &&
                    image->pins[authId].storageWrap.empty());
    }
    EXPECT_TRUE(image->attestationKey.empty() && image->storageOpen.empty());
    auto contains = [&](const Bytes& needle) {
        return !needle.empty() && std::search(raw.begin(), raw.end(), needle.begin(), needle.end()) != raw.end();
    };
    EXPECT_FALSE(contains(full->pins[1].verifier) || contains(full->pins[1].salt) ||
                 contains(full->pins[2].storageWrap) || contains(full->privateKeys[0]->sealedKey) ||
                 contains(Bytes(full->attestationKey.data(), full->attestationKey.data() + 64)));
    EXPECT_EQ(image->Serialise(), raw) << "a public image stays public";

    // Never taken for a card: not read, not written, not accepted as public when it is full.
    std::string copy = root_ + "/public.vcard";
    cardtest::WriteBytes(copy, raw);
    std::unique_ptr<CardImage> read;
    EXPECT_EQ(ReadCardImage(copy, &read, &stamp), CoreCardUnsupported);
    EXPECT_EQ(WriteCardImage(copy, *image, &stamp), CoreIoError);
    EXPECT_EQ(cardtest::ReadBytes(copy), raw);
    Bytes fullBytes = full->Serialise();
    EXPECT_EQ(CardImage::ParsePublic(fullBytes.data(), fullBytes.size(), &read), CoreCardUnsupported);

    // READ BINARY past the end, of another file, without an offset.
    Response end = Command(0x00, Apdu::InsReadBinaryOdd, 0x50, 0x01, u32(Apdu::TagOffset, raw.size()), 16);
    EXPECT_EQ(end.sw, Apdu::SwEndOfFile);
    EXPECT_TRUE(end.data.empty());
    EXPECT_EQ(Sw(0x00, Apdu::InsReadBinaryOdd, 0x50, 0x01, u32(Apdu::TagOffset, raw.size() + 1)), Apdu::SwWrongData);
    EXPECT_EQ(Sw(0x00, Apdu::InsReadBinaryOdd, 0x50, 0x02, u32(Apdu::TagOffset, 0)), Apdu::SwWrongP1P2);
    EXPECT_EQ(Sw(0x00, Apdu::InsReadBinaryOdd, 0x50, 0x01), Apdu::SwWrongData);

    // A reset forgets the selection; a card gone from its place is no longer ours.
    server_->Reset();
    EXPECT_EQ(Sw(0x00, Apdu::InsGetData, 0x01, 0x01), Apdu::SwConditionsNotSatisfied);
    ASSERT_EQ(::rename(path_.c_str(), (root_ + "/away.vcard").c_str()), 0);
    EXPECT_EQ(Select(), Apdu::SwApplicationNotFound);
}

TEST_F(ApduTest, PinCommandsCountTriesBlockAndUnblock) {
    Serve("--type 3 --so-pin 87654321 --user-pin 1234 --third-code 5555");
    ASSERT_EQ(Select(), Apdu::SwOk);
    EXPECT_EQ(Sw(0x00, Apdu::InsVerify, 0x00, 0x81), 0x63C3) << "status: not verified, 3 tries";
    EXPECT_EQ(Verify(1, "9999"), 0x63C2);
    EXPECT_EQ(Sw(0x00, Apdu::InsVerify, 0x00, 0x81), 0x63C2);
    EXPECT_EQ(Verify(1, "1234"), Apdu::SwOk);
    EXPECT_EQ(Sw(0x00, Apdu::InsVerify, 0x00, 0x81), Apdu::SwOk) << "verified, tries restored";
    EXPECT_EQ(Sw(0x00, Apdu::InsVerify, 0xFF, 0x00), Apdu::SwOk);
    EXPECT_EQ(Sw(0x00, Apdu::InsVerify, 0x00, 0x81), 0x63C3) << "logged out";
    EXPECT_EQ(Verify(3, "5555"), Apdu::SwOk);
    EXPECT_EQ(Verify(3, "0000"), 0x63C2) << "the third code counts its own tries";
    EXPECT_EQ(Sw(0x00, Apdu::InsVerify, 0x00, 0x84), Apdu::SwWrongP1P2);

    // Blocking survives a reset and another server (another process) on the card.
    EXPECT_EQ(Verify(1, "0000"), 0x63C2);
    EXPECT_EQ(Verify(1, "0000"), 0x63C1);
    server_->Reset();
    Restart();
    ASSERT_EQ(Select(), Apdu::SwOk);
    EXPECT_EQ(Verify(1, "0000"), 0x63C0);
    EXPECT_EQ(Verify(1, "1234"), Apdu::SwPinBlocked);
    EXPECT_EQ(Sw(0x00, Apdu::InsVerify, 0x00, 0x81), Apdu::SwPinBlocked);

    // RESET RETRY COUNTER: a wrong SO PIN counts on the SO PIN; the right one sets a new PIN.
    Apdu::TlvWriter wrongSo;
    wrongSo.Add(Apdu::kPinOld, Text("00000000")).Add(Apdu::kPinNew, Text("4321"));
    EXPECT_EQ(Sw(0x00, Apdu::InsResetRetryCounter, 0x00, 0x81, wrongSo.Data()), 0x63C4);
    Apdu::TlvWriter reset;
    reset.Add(Apdu::kPinOld, Text("87654321")).Add(Apdu::kPinNew, Text("4321"));
    EXPECT_EQ(Sw(0x00, Apdu::InsResetRetryCounter, 0x00, 0x81, reset.Data()), Apdu::SwOk);
    EXPECT_EQ(Verify(1, "4321"), Apdu::SwOk);

    // CHANGE REFERENCE DATA: the old PIN is checked and counted.
    Apdu::TlvWriter wrongOld;
    wrongOld.Add(Apdu::kPinOld, Text("1111")).Add(Apdu::kPinNew, Text("2222"));
    EXPECT_EQ(Sw(0x00, Apdu::InsChangeReferenceData, 0x00, 0x81, wrongOld.Data()), 0x63C2);
    Apdu::TlvWriter change;
    change.Add(Apdu::kPinOld, Text("4321")).Add(Apdu::kPinNew, Text("2222"));
    EXPECT_EQ(Sw(0x00, Apdu::InsChangeReferenceData, 0x00, 0x81, change.Data()), Apdu::SwOk);
    EXPECT_EQ(Verify(1, "4321"), 0x63C2);
    EXPECT_EQ(Verify(1, "2222"), Apdu::SwOk);
    EXPECT_EQ(Sw(0x00, Apdu::InsChangeReferenceData, 0x00, 0x81, Text("garbage")), Apdu::SwWrongData);

    // Setting a code that has a value needs the SO; deactivating it too.
    Apdu::TlvWriter set;
    set.Add(Apdu::kPinNew, Text("3333"));
    EXPECT_EQ(Sw(0x00, Apdu::InsChangeReferenceData, 0x01, 0x81, set.Data()), Apdu::SwSecurityStatus);
    EXPECT_EQ(Sw(0x00, Apdu::InsDisableVerification, 0x00, 0x83), Apdu::SwSecurityStatus);
    EXPECT_EQ(Verify(2, "87654321"), Apdu::SwOk);
    EXPECT_EQ(Sw(0x00, Apdu::InsDisableVerification, 0x00, 0x83), Apdu::SwOk);
    EXPECT_EQ(Verify(3, "5555"), Apdu::SwPinNotInitialised);
    EXPECT_EQ(Sw(0x00, Apdu::InsChangeReferenceData, 0x01, 0x81, set.Data()), Apdu::SwOk);
    EXPECT_EQ(Verify(1, "3333"), Apdu::SwOk);
}

TEST_F(ApduTest, SignDecryptGenerateAndImportCheckedWithThePublicImage) {
    Serve("--type 3 --so-pin 87654321 --user-pin 1234");
    ToolOk("key-generate " + cardtest::Quote(path_) + " --bits 2048");
    ASSERT_EQ(Select(), Apdu::SwOk);
    std::unique_ptr<CardImage> image = PublicImage();
    ASSERT_TRUE(image && image->privateKeys.size() == 1);
    uint32_t keyRecord = image->privateKeys[0]->record.recordId;
    PkeyPtr pub = CardCrypto::RsaPublicFromComponents(image->publicKeys[0]->modulus, image->publicKeys[0]->exponent);
    ASSERT_TRUE(pub);

    Bytes data = digestInfo();
    EXPECT_EQ(Sw(0x00, Apdu::InsPerformSecurityOperation, 0x9E, 0x9A, data), Apdu::SwConditionsNotSatisfied)
        << "no security environment";
    Apdu::TlvWriter pkcs1;
    pkcs1.AddU32(Apdu::TagKeyReference, keyRecord).AddU8(Apdu::TagAlgorithm, Apdu::AlgPkcs1);
    ASSERT_EQ(Sw(0x00, Apdu::InsManageSecurityEnvironment, 0x41, 0xB6, pkcs1.Data()), Apdu::SwOk);
    EXPECT_EQ(Sw(0x00, Apdu::InsPerformSecurityOperation, 0x9E, 0x9A, data), Apdu::SwSecurityStatus);
    ASSERT_EQ(Verify(1, "1234"), Apdu::SwOk);
    Response signature = Command(0x00, Apdu::InsPerformSecurityOperation, 0x9E, 0x9A, data, 65536);
    ASSERT_EQ(signature.sw, Apdu::SwOk);
    EXPECT_EQ(signature.data.size(), 256u);
    EXPECT_TRUE(coretest::VerifiesPkcs1(pub.get(), data, signature.data.data(), signature.data.size()));

    Apdu::TlvWriter pss;
    pss.AddU32(Apdu::TagKeyReference, keyRecord).AddU8(Apdu::TagAlgorithm, Apdu::AlgPssOrOaep);
    pss.AddU8(Apdu::TagHash, HashTypeSha256).AddU8(Apdu::TagMgfHash, HashTypeSha256).AddU32(Apdu::TagSaltLength, 32);
    ASSERT_EQ(Sw(0x00, Apdu::InsManageSecurityEnvironment, 0x41, 0xB6, pss.Data()), Apdu::SwOk);
    Bytes digest = CardCrypto::Sha256(data.data(), data.size());
    signature = Command(0x00, Apdu::InsPerformSecurityOperation, 0x9E, 0x9A, digest, 65536);
    ASSERT_EQ(signature.sw, Apdu::SwOk);
    EXPECT_TRUE(CardCrypto::RsaVerifyPss(pub.get(), HashTypeSha256, HashTypeSha256, 32, digest.data(), digest.size(),
                                         signature.data.data(), signature.data.size()));
    EXPECT_EQ(Sw(0x00, Apdu::InsPerformSecurityOperation, 0x9E, 0x9A, Bytes(20, 1)), Apdu::SwWrongData)
        << "a digest of the wrong size";

    // Decipher, PKCS#1 and OAEP with a label; bad padding is wrong data.
    Apdu::TlvWriter decipher;
    decipher.AddU32(Apdu::TagKeyReference, keyRecord).AddU8(Apdu::TagAlgorithm, Apdu::AlgPkcs1);
    ASSERT_EQ(Sw(0x00, Apdu::InsManageSecurityEnvironment, 0x41, 0xB8, decipher.Data()), Apdu::SwOk);
    Bytes cryptogram = {0x00};
    Bytes cipher = coretest::EncryptPkcs1(pub.get(), "secret text");
    cryptogram.insert(cryptogram.end(), cipher.begin(), cipher.end());
    Response plain = Command(0x00, Apdu::InsPerformSecurityOperation, 0x80, 0x86, cryptogram, 65536);
    ASSERT_EQ(plain.sw, Apdu::SwOk);
    EXPECT_EQ(plain.data, Text("secret text"));
    Bytes garbage(257, 0x11);
    garbage[0] = 0x00;
    EXPECT_EQ(Sw(0x00, Apdu::InsPerformSecurityOperation, 0x80, 0x86, garbage), Apdu::SwWrongData);
    Apdu::TlvWriter oaep;
    oaep.AddU32(Apdu::TagKeyReference, keyRecord).AddU8(Apdu::TagAlgorithm, Apdu::AlgPssOrOaep);
    oaep.AddU8(Apdu::TagHash, HashTypeSha1).AddU8(Apdu::TagMgfHash, HashTypeSha1).Add(Apdu::TagOaepLabel, Text("L"));
    ASSERT_EQ(Sw(0x00, Apdu::InsManageSecurityEnvironment, 0x41, 0xB8, oaep.Data()), Apdu::SwOk);
    Bytes oaepCipher;
    ASSERT_TRUE(CardCrypto::RsaEncryptOaep(pub.get(), HashTypeSha1, HashTypeSha1,
                                           reinterpret_cast<const unsigned char*>("L"), 1,
                                           reinterpret_cast<const unsigned char*>("oaep"), 4, &oaepCipher));
    oaepCipher.insert(oaepCipher.begin(), 0x00);
    plain = Command(0x00, Apdu::InsPerformSecurityOperation, 0x80, 0x86, oaepCipher, 65536);
    ASSERT_EQ(plain.sw, Apdu::SwOk);
    EXPECT_EQ(plain.data, Text("oaep"));

    // Generation and import into new containers; the proof exists for the generated key only.
    Apdu::TlvWriter container;
    container.Add(Apdu::TagName, Text("keys")).AddU8(Apdu::TagType, CardObjectTypeKeyContainer).AddU32(Apdu::TagFlags, 0);
    Response made = Command(0x80, Apdu::InsCreate, Apdu::ItemContainer, 0x00, container.Data(), 256);
    ASSERT_EQ(made.sw, Apdu::SwOk);
    Apdu::TlvWriter generate;
    generate.AddU32(Apdu::TagContainer, Id(made, Apdu::TagContainer)).AddU32(Apdu::TagKeyPairFlags, KeyPairFlagSign);
    Response generated = Command(0x00, Apdu::InsGenerateKeyPair, 0x80, 0x00, generate.Data(), 256);
    ASSERT_EQ(generated.sw, Apdu::SwOk);
    Response proof = Command(0x80, Apdu::InsGetAttestation, 0x00, 0x00,
                             u32(Apdu::TagPublicKey, Id(generated, Apdu::TagPublicKey)), 256);
    ASSERT_EQ(proof.sw, Apdu::SwOk);
    EXPECT_GT(proof.data.size(), 60u);

    PkeyPtr own = CardCrypto::GenerateRsa(1024);
    made = Command(0x80, Apdu::InsCreate, Apdu::ItemContainer, 0x00, container.Data(), 256);
    Apdu::TlvWriter import;
    import.AddU32(Apdu::TagContainer, Id(made, Apdu::TagContainer)).AddU32(Apdu::TagKeyPairFlags, KeyPairFlagDecrypt);
    import.Add(Apdu::TagContent, pkcs8(own.get()));
    Response imported = Command(0x80, Apdu::InsGenerateKeyPair, 0x01, 0x00, import.Data(), 256);
    ASSERT_EQ(imported.sw, Apdu::SwOk);
    EXPECT_EQ(Sw(0x80, Apdu::InsGetAttestation, 0x00, 0x00, u32(Apdu::TagPublicKey, Id(imported, Apdu::TagPublicKey))),
              Apdu::SwConditionsNotSatisfied);
    Apdu::TlvWriter useImported;
    useImported.AddU32(Apdu::TagKeyReference, Id(imported, Apdu::TagPrivateKey)).AddU8(Apdu::TagAlgorithm, 1);
    ASSERT_EQ(Sw(0x00, Apdu::InsManageSecurityEnvironment, 0x41, 0xB8, useImported.Data()), Apdu::SwOk);
    cryptogram = {0x00};
    cipher = coretest::EncryptPkcs1(own.get(), "imported");
    cryptogram.insert(cryptogram.end(), cipher.begin(), cipher.end());
    plain = Command(0x00, Apdu::InsPerformSecurityOperation, 0x80, 0x86, cryptogram, 256);
    EXPECT_EQ(plain.sw, Apdu::SwOk);
    EXPECT_EQ(plain.data, Text("imported"));
    image = PublicImage();
    ASSERT_TRUE(image);
    EXPECT_EQ(image->privateKeys.size(), 3u);

    // Bad import data; a key that is gone.
    Apdu::TlvWriter badImport;
    badImport.AddU32(Apdu::TagContainer, Id(made, Apdu::TagContainer)).AddU32(Apdu::TagKeyPairFlags, KeyPairFlagSign);
    badImport.Add(Apdu::TagContent, Text("not a key"));
    EXPECT_EQ(Sw(0x80, Apdu::InsGenerateKeyPair, 0x01, 0x00, badImport.Data()), Apdu::SwWrongData);
    Apdu::TlvWriter gone;
    gone.AddU32(Apdu::TagKeyReference, 9999).AddU8(Apdu::TagAlgorithm, 1);
    ASSERT_EQ(Sw(0x00, Apdu::InsManageSecurityEnvironment, 0x41, 0xB6, gone.Data()), Apdu::SwOk);
    EXPECT_EQ(Sw(0x00, Apdu::InsPerformSecurityOperation, 0x9E, 0x9A, data), Apdu::SwNotFound);
    // A reset ends the login and the security environment.
    server_->Reset();
    ASSERT_EQ(Select(), Apdu::SwOk);
    EXPECT_EQ(Sw(0x00, Apdu::InsPerformSecurityOperation, 0x80, 0x86, cryptogram), Apdu::SwConditionsNotSatisfied);
    ASSERT_EQ(Sw(0x00, Apdu::InsManageSecurityEnvironment, 0x41, 0xB8, useImported.Data()), Apdu::SwOk);
    EXPECT_EQ(Sw(0x00, Apdu::InsPerformSecurityOperation, 0x80, 0x86, cryptogram), Apdu::SwSecurityStatus);
}

TEST_F(ApduTest, CertificatesDataFilesAttributesDeletionMemoryAndErase) {
    Serve("--type 3 --so-pin 87654321 --user-pin 1234 --memory 6000");
    ToolOk("key-generate " + cardtest::Quote(path_) + " --bits 1024");
    ASSERT_EQ(Select(), Apdu::SwOk);
    std::unique_ptr<CardImage> image = PublicImage();
    ASSERT_TRUE(image);
    uint32_t privateId = image->privateKeys[0]->record.recordId, publicId = image->publicKeys[0]->record.recordId;

    PkeyPtr caKey = CardCrypto::GenerateRsa(1024);
    Bytes rootDer = selfSigned(caKey.get(), "Root");
    Response root = Command(0x80, Apdu::InsCreate, Apdu::ItemCertificate, CertificateKindRoot,
                            Apdu::TlvWriter().Add(Apdu::TagContent, rootDer).Take(), 256);
    ASSERT_EQ(root.sw, Apdu::SwOk);
    EXPECT_EQ(Sw(0x80, Apdu::InsCreate, Apdu::ItemCertificate, CertificateKindClient,
                 Apdu::TlvWriter().Add(Apdu::TagContent, rootDer).AddU32(Apdu::TagPublicKey, 4242).Take()),
              Apdu::SwNotFound);
    EXPECT_EQ(Sw(0x80, Apdu::InsCreate, Apdu::ItemCertificate, CertificateKindRoot,
                 Apdu::TlvWriter().Add(Apdu::TagContent, Text("no certificate")).Take()),
              Apdu::SwWrongData);

    Apdu::TlvWriter file;
    file.Add(Apdu::TagName, Text("notes.txt")).AddU32(Apdu::TagContainer, ContainerId_DATA).AddU32(Apdu::TagFlags, 0);
    file.Add(Apdu::TagContent, Text("hello"));
    Response data = Command(0x80, Apdu::InsCreate, Apdu::ItemDataFile, 0x00, file.Data(), 256);
    ASSERT_EQ(data.sw, Apdu::SwOk);

    // Relabel: label and identifier set, then the identifier cleared by its absence.
    Apdu::TlvWriter label;
    label.AddU32(Apdu::TagPrivateKey, privateId).AddU32(Apdu::TagPublicKey, publicId);
    label.Add(Apdu::TagLabel, Text("Mine")).Add(Apdu::TagIdentifier, Bytes{1, 2, 3});
    EXPECT_EQ(Sw(0x80, Apdu::InsPutData, Apdu::ItemKeyPair, 0x00, label.Data()), Apdu::SwOk);
    Apdu::TlvWriter fileLabel;
    fileLabel.AddU32(Apdu::TagRecord, Id(data, Apdu::TagRecord)).Add(Apdu::TagLabel, Text("Notes"));
    EXPECT_EQ(Sw(0x80, Apdu::InsPutData, Apdu::ItemDataFile, 0x00, fileLabel.Data()), Apdu::SwOk);
    Apdu::TlvWriter tooLong;
    tooLong.AddU32(Apdu::TagRecord, Id(root, Apdu::TagRecord)).Add(Apdu::TagLabel, Bytes(81, 'x'));
    EXPECT_EQ(Sw(0x80, Apdu::InsPutData, Apdu::ItemCertificate, 0x00, tooLong.Data()), Apdu::SwWrongData);
    image = PublicImage();
    ASSERT_TRUE(image);
    EXPECT_EQ(image->FindPrivateKey(privateId)->record.common.GetLabel(), "Mine");
    EXPECT_EQ(image->FindPublicKey(publicId)->record.common.GetId(), (Bytes{1, 2, 3}));
    EXPECT_EQ(image->FindFile(Id(data, Apdu::TagRecord))->record.common.GetLabel(), "Notes");
    EXPECT_EQ(image->FindFile(Id(data, Apdu::TagRecord))->data, Text("hello"));
    EXPECT_EQ(Sw(0x80, Apdu::InsPutData, Apdu::ItemKeyPair, 0x00, u32(Apdu::TagPrivateKey, privateId)), Apdu::SwOk);
    image = PublicImage();
    EXPECT_FALSE(image->FindPrivateKey(privateId)->record.common.HasLabel());

    // Memory full: a data file beyond what the card holds.
    Apdu::TlvWriter big;
    big.Add(Apdu::TagName, Text("big")).AddU32(Apdu::TagContainer, ContainerId_DATA).AddU32(Apdu::TagFlags, 0);
    big.Add(Apdu::TagContent, Bytes(8000, 0x42));
    EXPECT_EQ(Command(0x80, Apdu::InsCreate, Apdu::ItemDataFile, 0x00, big.Data(), 0, 255).sw, Apdu::SwMemoryFull);

    // Deletion of each kind, and of what is not there.
    EXPECT_EQ(Sw(0x80, Apdu::InsDelete, Apdu::ItemCertificate, 0x00, u32(Apdu::TagRecord, Id(root, Apdu::TagRecord))),
              Apdu::SwOk);
    EXPECT_EQ(Sw(0x80, Apdu::InsDelete, Apdu::ItemCertificate, 0x00, u32(Apdu::TagRecord, Id(root, Apdu::TagRecord))),
              Apdu::SwNotFound);
    EXPECT_EQ(Sw(0x80, Apdu::InsDelete, Apdu::ItemDataFile, 0x00, u32(Apdu::TagRecord, Id(data, Apdu::TagRecord))),
              Apdu::SwOk);
    EXPECT_EQ(Sw(0x80, Apdu::InsDelete, Apdu::ItemKeyPair, 0x00, u32(Apdu::TagPublicKey, publicId)), Apdu::SwOk);
    image = PublicImage();
    EXPECT_EQ(image->publicKeys.size(), 0u);
    ASSERT_EQ(image->privateKeys.size(), 1u);
    uint32_t containerId = image->privateKeys[0]->record.containerId;
    EXPECT_NE(Sw(0x80, Apdu::InsDelete, Apdu::ItemContainer, 0x00, u32(Apdu::TagContainer, containerId)), Apdu::SwOk)
        << "a container with contents stays without the flag";
    EXPECT_EQ(Sw(0x80, Apdu::InsDelete, Apdu::ItemContainer, 0x01, u32(Apdu::TagContainer, containerId)), Apdu::SwOk);
    EXPECT_EQ(Sw(0x80, Apdu::InsDelete, Apdu::ItemContainer, 0x01, u32(Apdu::TagContainer, containerId)),
              Apdu::SwNotFound);

    // Erase needs a login and leaves the PINs.
    ToolOk("data-add " + cardtest::Quote(path_) + " --file " + cardtest::Quote(path_ + ".lock"));
    EXPECT_EQ(Sw(0x80, Apdu::InsErase, 0x01, 0x00), Apdu::SwSecurityStatus);
    ASSERT_EQ(Verify(1, "1234"), Apdu::SwOk);
    EXPECT_EQ(Sw(0x80, Apdu::InsErase, 0x01, 0x00), Apdu::SwOk);
    image = PublicImage();
    EXPECT_TRUE(image->files.empty() && image->containers.empty());
    EXPECT_EQ(Verify(1, "1234"), Apdu::SwOk);
}

TEST_F(ApduTest, ChainingExtendedLengthAndMalformedCommands) {
    Serve("--type 3 --so-pin 87654321 --user-pin 1234 --memory 2000000");
    // Before SELECT, and with bad classes and instructions.
    EXPECT_EQ(Sw(0x00, 0x77, 0x00, 0x00), Apdu::SwConditionsNotSatisfied);
    ASSERT_EQ(Select(), Apdu::SwOk);
    EXPECT_EQ(Sw(0x00, 0x77, 0x00, 0x00), Apdu::SwInsNotSupported);
    EXPECT_EQ(Sw(0x0C, Apdu::InsVerify, 0x00, 0x81), Apdu::SwClaNotSupported);
    EXPECT_EQ(Sw(0x80, Apdu::InsVerify, 0x00, 0x81), Apdu::SwClaNotSupported);
    EXPECT_EQ(Sw(0x00, Apdu::InsSelect, 0x02, 0x00, kAidBytes), Apdu::SwWrongP1P2);

    // Malformed encodings: every prefix and length byte lie of a real command.
    Bytes good = Apdu::BuildCommand(0x80, Apdu::InsCreate, Apdu::ItemDataFile, 0x00, Bytes(300, 0x30), 256);
    for (size_t length = 0; length < good.size(); length += 7) {
        Response r = Send(Bytes(good.begin(), good.begin() + static_cast<long>(length)));
        EXPECT_NE(r.sw, Apdu::SwOk) << "prefix of " << length;
    }
    EXPECT_EQ(Send(Bytes{0x00, Apdu::InsVerify, 0x00, 0x81, 0x05, 0x31}).sw, Apdu::SwWrongLength);
    EXPECT_EQ(Send(Bytes{0x00, Apdu::InsVerify, 0x00, 0x81, 0x00, 0x00, 0x05, 0x31}).sw, Apdu::SwWrongLength);

    // A data file of 200 KB in parts of 255 bytes (short APDUs), and in one extended APDU.
    Bytes content(200000);
    for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<unsigned char>(i * 7);
    Apdu::TlvWriter file;
    file.Add(Apdu::TagName, Text("big")).AddU32(Apdu::TagContainer, ContainerId_DATA).AddU32(Apdu::TagFlags, 0);
    file.Add(Apdu::TagContent, content);
    Response made = Command(0x80, Apdu::InsCreate, Apdu::ItemDataFile, 0x00, file.Data(), 256, 255);
    ASSERT_EQ(made.sw, Apdu::SwOk);
    Apdu::TlvWriter small;
    small.Add(Apdu::TagName, Text("small")).AddU32(Apdu::TagContainer, ContainerId_DATA).AddU32(Apdu::TagFlags, 0);
    small.Add(Apdu::TagContent, Bytes(40000, 0x55));
    ASSERT_EQ(Command(0x80, Apdu::InsCreate, Apdu::ItemDataFile, 0x00, small.Data(), 256).sw, Apdu::SwOk);
    std::unique_ptr<CardImage> image = PublicImage();
    ASSERT_TRUE(image);
    ASSERT_NE(image->FindFile(Id(made, Apdu::TagRecord)), nullptr);
    EXPECT_EQ(image->FindFile(Id(made, Apdu::TagRecord))->data, content);

    // A chain cut by another command is dropped; a chain past 1 MiB is refused and forgotten.
    std::vector<Bytes> parts = Apdu::BuildChain(0x80, Apdu::InsCreate, Apdu::ItemDataFile, 0x00, file.Data(), 0, 255);
    EXPECT_EQ(Send(parts[0]).sw, Apdu::SwOk);
    EXPECT_EQ(Sw(0x00, Apdu::InsGetData, 0x01, 0x01), Apdu::SwOk);
    EXPECT_EQ(Send(parts.back()).sw, Apdu::SwWrongData) << "the last part alone is no TLV";
    Bytes chunk = Apdu::BuildCommand(0x90, Apdu::InsCreate, Apdu::ItemDataFile, 0x00, Bytes(65535, 0x01), 0);
    uint16_t sw = Apdu::SwOk;
    int sent = 0;
    while (sw == Apdu::SwOk && sent < 40) {
        sw = Send(chunk).sw;
        ++sent;
    }
    EXPECT_EQ(sw, Apdu::SwWrongLength);
    EXPECT_EQ(sent, 17) << "1 MiB is 16 full parts and a bit";
    EXPECT_EQ(Sw(0x00, Apdu::InsGetData, 0x01, 0x01), Apdu::SwOk) << "and the card goes on";

    // TLV faults in every proprietary command give an error, never a crash.
    const unsigned char commands[][4] = {{0x80, Apdu::InsCreate, 1, 0}, {0x80, Apdu::InsCreate, 2, 1},
                                         {0x80, Apdu::InsCreate, 3, 0}, {0x80, Apdu::InsDelete, 1, 1},
                                         {0x80, Apdu::InsDelete, 3, 0}, {0x80, Apdu::InsPutData, 3, 0},
                                         {0x00, Apdu::InsGenerateKeyPair, 0x80, 0}, {0x80, Apdu::InsGetAttestation, 0, 0},
                                         {0x00, Apdu::InsManageSecurityEnvironment, 0x41, 0xB6},
                                         {0x00, Apdu::InsChangeReferenceData, 0, 0x81}};
    for (const auto& c : commands) {
        for (const Bytes& data : {Bytes{0x81}, Bytes{0x85, 0x84, 0, 0, 0, 1}, Bytes{0x85, 0x02, 0, 1}, Bytes()}) {
            uint16_t result = Sw(c[0], c[1], c[2], c[3], data);
            EXPECT_NE(result, Apdu::SwOk) << std::hex << unsigned(c[1]) << " " << unsigned(c[2]);
            EXPECT_NE(result, Apdu::SwUnknown);
        }
    }
}
