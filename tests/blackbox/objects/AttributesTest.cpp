// Attribute values of every object class, the length protocol, and what a session
// without a logged-in user may read.
#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <openssl/sha.h>
#include <openssl/x509.h>

#include <cstring>

#include <gtest/gtest.h>

#include "ObjectsSupport.h"

using namespace objtest;
using vctest::AttestationKey;
using vctest::RsaKeyInfo;
using vctest::VerifiesWith;

namespace {

struct CertFields {
    Bytes subject, issuer, serial;
};

CertFields parse(const Bytes& der) {
    CertFields fields;
    const unsigned char* p = der.data();
    X509* cert = d2i_X509(nullptr, &p, static_cast<long>(der.size()));
    if (cert == nullptr) {
        ADD_FAILURE() << "not a certificate";
        return fields;
    }
    auto encode = [](auto* object, auto i2d) {
        unsigned char* out = nullptr;
        int n = i2d(object, &out);
        Bytes bytes(out, out + (n > 0 ? n : 0));
        OPENSSL_free(out);
        return bytes;
    };
    fields.subject = encode(X509_get_subject_name(cert), i2d_X509_NAME);
    fields.issuer = encode(X509_get_issuer_name(cert), i2d_X509_NAME);
    fields.serial = encode(X509_get_serialNumber(cert), i2d_ASN1_INTEGER);
    X509_free(cert);
    return fields;
}

class Attributes : public ::testing::Test {
protected:
    void SetUp() override {
        card_ = &Main();
        slot_ = SlotOf(card_->reader);
        session_ = vctest::OpenSession(slot_, false);
    }
    void TearDown() override { CloseAll(slot_); }

    CK_OBJECT_HANDLE cert(const Bytes& id) { return One(session_, CKO_CERTIFICATE, id); }
    CK_OBJECT_HANDLE clientCert() {
        CK_OBJECT_CLASS cls = CKO_CERTIFICATE;
        CK_ULONG category = 1;
        auto found = Find(session_, {{CKA_CLASS, &cls, sizeof cls}, {CKA_CERTIFICATE_CATEGORY, &category, sizeof category}});
        EXPECT_EQ(found.size(), 1u);
        return found.empty() ? 0 : found[0];
    }

    const MainCard* card_ = nullptr;
    CK_SLOT_ID slot_ = 0;
    CK_SESSION_HANDLE session_ = 0;
};

TEST_F(Attributes, CertificateValuesMatchTheStoredDer) {
    CK_OBJECT_HANDLE root = cert(card_->rootId);
    CertFields fields = parse(card_->caDer);

    EXPECT_EQ(Ulong(session_, root, CKA_CERTIFICATE_TYPE), CKC_X_509);
    EXPECT_EQ(Value(session_, root, CKA_VALUE), card_->caDer);
    EXPECT_EQ(Value(session_, root, CKA_SUBJECT), fields.subject);
    EXPECT_EQ(Value(session_, root, CKA_ISSUER), fields.issuer);
    EXPECT_EQ(Value(session_, root, CKA_SERIAL_NUMBER), fields.serial);
    EXPECT_EQ(Value(session_, root, CKA_ID), card_->rootId);
    EXPECT_EQ(Value(session_, root, CKA_LABEL), Text(card_->rootLabel));
    EXPECT_TRUE(Bool(session_, root, CKA_TOKEN));
    EXPECT_FALSE(Bool(session_, root, CKA_PRIVATE));

    unsigned char digest[SHA_DIGEST_LENGTH];
    SHA1(card_->caDer.data(), card_->caDer.size(), digest);
    EXPECT_EQ(Value(session_, root, CKA_CHECK_VALUE), Bytes(digest, digest + 3));

    CK_ULONG size = 0;
    EXPECT_EQ(P11()->C_GetObjectSize(session_, root, &size), CKR_OK);
    EXPECT_EQ(size, card_->caDer.size());

    CK_OBJECT_HANDLE partner = cert(card_->partnerId);
    EXPECT_EQ(Value(session_, partner, CKA_VALUE), card_->partnerDer);
    EXPECT_EQ(Value(session_, partner, CKA_ISSUER), fields.subject);
    EXPECT_EQ(Value(session_, partner, CKA_SERIAL_NUMBER), parse(card_->partnerDer).serial);
}

TEST_F(Attributes, CertificateCategoryAndTrust) {
    CK_OBJECT_HANDLE root = cert(card_->rootId);
    CK_OBJECT_HANDLE partner = cert(card_->partnerId);
    CK_OBJECT_HANDLE client = clientCert();
    EXPECT_EQ(Ulong(session_, root, CKA_CERTIFICATE_CATEGORY), 2u);
    EXPECT_EQ(Ulong(session_, client, CKA_CERTIFICATE_CATEGORY), 1u);
    EXPECT_EQ(Ulong(session_, partner, CKA_CERTIFICATE_CATEGORY), 3u);
    EXPECT_TRUE(Bool(session_, root, CKA_TRUSTED));
    EXPECT_FALSE(Bool(session_, client, CKA_TRUSTED));
    EXPECT_FALSE(Bool(session_, partner, CKA_TRUSTED));
    // The client certificate shares CKA_ID with its key pair.
    EXPECT_EQ(Value(session_, client, CKA_ID), card_->signKeyId);
    EXPECT_EQ(Value(session_, client, CKA_LABEL), Text(card_->clientLabel));
}

TEST_F(Attributes, LengthProtocol) {
    CK_OBJECT_HANDLE root = cert(card_->rootId);
    CK_ATTRIBUTE attribute = {CKA_VALUE, nullptr, 0};
    ASSERT_EQ(P11()->C_GetAttributeValue(session_, root, &attribute, 1), CKR_OK);
    ASSERT_EQ(attribute.ulValueLen, card_->caDer.size());

    Bytes buffer(card_->caDer.size(), 0xEE);
    attribute.pValue = buffer.data();
    attribute.ulValueLen = buffer.size() - 1;
    EXPECT_EQ(P11()->C_GetAttributeValue(session_, root, &attribute, 1), CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(attribute.ulValueLen, CK_UNAVAILABLE_INFORMATION);
    EXPECT_EQ(buffer.back(), 0xEE);

    // A larger buffer gets the exact length back.
    buffer.resize(card_->caDer.size() + 10);
    attribute.pValue = buffer.data();
    attribute.ulValueLen = buffer.size();
    EXPECT_EQ(P11()->C_GetAttributeValue(session_, root, &attribute, 1), CKR_OK);
    EXPECT_EQ(attribute.ulValueLen, card_->caDer.size());

    // CK_ULONG and CK_BBOOL values: the size of the type; one byte short is too small.
    CK_ULONG cls = 0;
    CK_ATTRIBUTE ulong = {CKA_CLASS, &cls, sizeof cls - 1};
    EXPECT_EQ(P11()->C_GetAttributeValue(session_, root, &ulong, 1), CKR_BUFFER_TOO_SMALL);
    CK_ATTRIBUTE query = {CKA_TOKEN, nullptr, 77};
    EXPECT_EQ(P11()->C_GetAttributeValue(session_, root, &query, 1), CKR_OK);
    EXPECT_EQ(query.ulValueLen, 1u);
    CK_BBOOL flag = 0;
    CK_ATTRIBUTE none = {CKA_TOKEN, &flag, 0};
    EXPECT_EQ(P11()->C_GetAttributeValue(session_, root, &none, 1), CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(none.ulValueLen, CK_UNAVAILABLE_INFORMATION);

    // The object address has the size of a pointer.
    CK_ATTRIBUTE address = {CKA_OBJECT_ADDRESS, nullptr, 0};
    EXPECT_EQ(P11()->C_GetAttributeValue(session_, root, &address, 1), CKR_OK);
    EXPECT_EQ(address.ulValueLen, sizeof(void*));
}

TEST_F(Attributes, FirstFailureStopsTheTemplate) {
    Login(session_);
    CK_OBJECT_HANDLE key = One(session_, CKO_PRIVATE_KEY, card_->signKeyId);
    unsigned char label[64] = {};
    unsigned char exponent[512];
    unsigned char id[64];
    std::memset(id, 0x77, sizeof id);
    CK_ATTRIBUTE tmpl[] = {
        {CKA_LABEL, label, sizeof label},
        {CKA_PRIVATE_EXPONENT, exponent, sizeof exponent},
        {CKA_ID, id, sizeof id},
    };
    EXPECT_EQ(P11()->C_GetAttributeValue(session_, key, tmpl, 3), CKR_ATTRIBUTE_SENSITIVE);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(label), tmpl[0].ulValueLen), card_->signKeyLabel);
    EXPECT_EQ(tmpl[1].ulValueLen, CK_UNAVAILABLE_INFORMATION);
    EXPECT_EQ(tmpl[2].ulValueLen, sizeof id);
    EXPECT_EQ(id[0], 0x77);

    for (CK_ATTRIBUTE_TYPE type : {CKA_PRIME_1, CKA_PRIME_2, CKA_EXPONENT_1, CKA_EXPONENT_2, CKA_COEFFICIENT}) {
        Bytes value;
        EXPECT_EQ(Read(session_, key, type, &value), CKR_ATTRIBUTE_SENSITIVE) << type;
    }
    // An empty template reads nothing and succeeds.
    EXPECT_EQ(P11()->C_GetAttributeValue(session_, key, tmpl, 0), CKR_OK);
}

TEST_F(Attributes, PublicKey) {
    CK_OBJECT_HANDLE key = One(session_, CKO_PUBLIC_KEY, card_->signKeyId);
    EXPECT_EQ(Ulong(session_, key, CKA_KEY_TYPE), CKK_RSA);
    EXPECT_EQ(Ulong(session_, key, CKA_MODULUS_BITS), 2048u);
    EXPECT_EQ(Value(session_, key, CKA_MODULUS).size(), 256u);
    EXPECT_EQ(Value(session_, key, CKA_PUBLIC_EXPONENT), (Bytes{0x01, 0x00, 0x01}));
    EXPECT_EQ(Value(session_, key, CKA_LABEL), Text(card_->signKeyLabel));
    EXPECT_TRUE(Bool(session_, key, CKA_LOCAL));
    EXPECT_TRUE(Bool(session_, key, CKA_VERIFY));
    EXPECT_FALSE(Bool(session_, key, CKA_WRAP));
    EXPECT_FALSE(Bool(session_, key, CKA_ESIGN));
    EXPECT_FALSE(Bool(session_, key, CKA_PRIVATE));

    CK_OBJECT_HANDLE small = One(session_, CKO_PUBLIC_KEY, card_->otherKeyId);
    EXPECT_EQ(Ulong(session_, small, CKA_MODULUS_BITS), 1024u);
    EXPECT_TRUE(Bool(session_, small, CKA_VERIFY));
    EXPECT_FALSE(Bool(session_, small, CKA_ENCRYPT));

    CK_OBJECT_HANDLE imported = One(session_, CKO_PUBLIC_KEY, card_->importedKeyId);
    EXPECT_FALSE(Bool(session_, imported, CKA_LOCAL));
    EXPECT_TRUE(Bool(session_, imported, CKA_ENCRYPT));
}

TEST_F(Attributes, PrivateKeyAfterLogin) {
    Login(session_);
    CK_OBJECT_HANDLE key = One(session_, CKO_PRIVATE_KEY, card_->signKeyId);
    CK_OBJECT_HANDLE publicKey = One(session_, CKO_PUBLIC_KEY, card_->signKeyId);
    EXPECT_EQ(Ulong(session_, key, CKA_KEY_TYPE), CKK_RSA);
    EXPECT_EQ(Value(session_, key, CKA_MODULUS), Value(session_, publicKey, CKA_MODULUS));
    EXPECT_EQ(Value(session_, key, CKA_PUBLIC_EXPONENT), (Bytes{0x01, 0x00, 0x01}));
    EXPECT_EQ(Value(session_, key, CKA_LABEL), Text(card_->signKeyLabel));
    EXPECT_TRUE(Bool(session_, key, CKA_PRIVATE));
    EXPECT_TRUE(Bool(session_, key, CKA_SENSITIVE));
    EXPECT_TRUE(Bool(session_, key, CKA_SIGN));
    EXPECT_FALSE(Bool(session_, key, CKA_EXTRACTABLE));
    EXPECT_TRUE(Bool(session_, key, CKA_LOCAL));
    EXPECT_TRUE(Bool(session_, key, CKA_NEVER_EXTRACTABLE));
    EXPECT_TRUE(Bool(session_, key, CKA_ALWAYS_SENSITIVE));
    EXPECT_FALSE(Bool(session_, key, CKA_ALWAYS_AUTHENTICATE));
    EXPECT_FALSE(Bool(session_, key, CKA_ESIGN));

    Bytes bits;
    EXPECT_EQ(Read(session_, key, CKA_MODULUS_BITS, &bits), CKR_ATTRIBUTE_TYPE_INVALID);

    CK_OBJECT_HANDLE imported = One(session_, CKO_PRIVATE_KEY, card_->importedKeyId);
    EXPECT_FALSE(Bool(session_, imported, CKA_LOCAL));
    EXPECT_FALSE(Bool(session_, imported, CKA_NEVER_EXTRACTABLE));
    EXPECT_FALSE(Bool(session_, imported, CKA_ALWAYS_SENSITIVE));
    EXPECT_TRUE(Bool(session_, imported, CKA_DECRYPT));
}

TEST_F(Attributes, ProofOfKeyOrigin) {
    Login(session_);
    CK_OBJECT_HANDLE key = One(session_, CKO_PRIVATE_KEY, card_->signKeyId);
    CK_OBJECT_HANDLE other = One(session_, CKO_PRIVATE_KEY, card_->otherKeyId);
    CK_OBJECT_HANDLE imported = One(session_, CKO_PRIVATE_KEY, card_->importedKeyId);

    // The two-call protocol gives the value whose length the first call announced.
    Bytes proof = Value(session_, key, CKA_VELLUMCREST_PROOF);
    Bytes otherProof = Value(session_, other, CKA_VELLUMCREST_PROOF);
    ASSERT_FALSE(proof.empty());
    EXPECT_EQ(Value(session_, key, CKA_VELLUMCREST_PROOF), proof);

    // A signature by the card's attestation key over the key's SubjectPublicKeyInfo.
    Bytes attestation = AttestationKey(card_->image);
    Bytes keyInfo = RsaKeyInfo(Value(session_, key, CKA_MODULUS), Value(session_, key, CKA_PUBLIC_EXPONENT));
    Bytes otherInfo = RsaKeyInfo(Value(session_, other, CKA_MODULUS), Value(session_, other, CKA_PUBLIC_EXPONENT));
    EXPECT_TRUE(VerifiesWith(attestation, keyInfo, proof));
    EXPECT_TRUE(VerifiesWith(attestation, otherInfo, otherProof));
    EXPECT_FALSE(VerifiesWith(attestation, keyInfo, otherProof));
    EXPECT_FALSE(VerifiesWith(attestation, otherInfo, proof));

    // The proof can be searched for.
    auto found = Find(session_, {{CKA_VELLUMCREST_PROOF, proof.data(), proof.size()}});
    EXPECT_EQ(found, std::vector<CK_OBJECT_HANDLE>{key});

    Bytes none;
    EXPECT_EQ(Read(session_, imported, CKA_VELLUMCREST_PROOF, &none), CKR_ATTRIBUTE_SENSITIVE);

    // Not answered for public keys: vendor type, so OK and unavailable.
    CK_OBJECT_HANDLE publicKey = One(session_, CKO_PUBLIC_KEY, card_->signKeyId);
    CK_ATTRIBUTE attribute = {CKA_VELLUMCREST_PROOF, nullptr, 0};
    EXPECT_EQ(P11()->C_GetAttributeValue(session_, publicKey, &attribute, 1), CKR_OK);
    EXPECT_EQ(attribute.ulValueLen, CK_UNAVAILABLE_INFORMATION);
}

TEST_F(Attributes, PrivateObjectsAreSensitiveWithoutLogin) {
    Login(session_);
    CK_OBJECT_HANDLE key = One(session_, CKO_PRIVATE_KEY, card_->signKeyId);
    ASSERT_EQ(P11()->C_Logout(session_), CKR_OK);

    for (CK_ATTRIBUTE_TYPE type : {CKA_CLASS, CKA_LABEL, CKA_ID, CKA_TOKEN}) {
        CK_ATTRIBUTE attribute = {type, nullptr, 0};
        EXPECT_EQ(P11()->C_GetAttributeValue(session_, key, &attribute, 1), CKR_ATTRIBUTE_SENSITIVE) << type;
        EXPECT_EQ(attribute.ulValueLen, CK_UNAVAILABLE_INFORMATION);
    }
    // The size is not refused.
    CK_ULONG size = 5;
    EXPECT_EQ(P11()->C_GetObjectSize(session_, key, &size), CKR_OK);
    EXPECT_EQ(size, 0u);
    // Public objects stay readable.
    EXPECT_EQ(Ulong(session_, One(session_, CKO_PUBLIC_KEY, card_->signKeyId), CKA_CLASS), CKO_PUBLIC_KEY);
}

TEST_F(Attributes, DataObject) {
    std::string label = card_->dataLabel;
    CK_OBJECT_CLASS cls = CKO_DATA;
    auto found = Find(session_, {{CKA_CLASS, &cls, sizeof cls}});
    ASSERT_EQ(found.size(), 1u);
    CK_OBJECT_HANDLE data = found[0];
    EXPECT_EQ(Value(session_, data, CKA_VALUE), card_->data);
    EXPECT_EQ(Value(session_, data, CKA_LABEL), Text(label));
    EXPECT_FALSE(Bool(session_, data, CKA_PRIVATE));
    // A standard type the object does not have.
    unsigned char id[8];
    CK_ATTRIBUTE missing = {CKA_ID, id, sizeof id};
    EXPECT_EQ(P11()->C_GetAttributeValue(session_, data, &missing, 1), CKR_ATTRIBUTE_TYPE_INVALID);
    EXPECT_EQ(missing.ulValueLen, CK_UNAVAILABLE_INFORMATION);
}

TEST_F(Attributes, BadArguments) {
    CK_OBJECT_HANDLE root = cert(card_->rootId);
    CK_ATTRIBUTE attribute = {CKA_CLASS, nullptr, 0};
    EXPECT_EQ(P11()->C_GetAttributeValue(session_, root, nullptr, 1), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(P11()->C_GetAttributeValue(session_, root, nullptr, 0), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(P11()->C_GetAttributeValue(session_, 0, &attribute, 1), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(P11()->C_GetAttributeValue(0, root, &attribute, 1), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(P11()->C_GetAttributeValue(0xFFF0, root, &attribute, 1), CKR_SESSION_HANDLE_INVALID);
    EXPECT_EQ(P11()->C_GetAttributeValue(session_, 0xFFF0, &attribute, 1), CKR_OBJECT_HANDLE_INVALID);

    CK_ULONG size = 0;
    EXPECT_EQ(P11()->C_GetObjectSize(session_, root, nullptr), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(P11()->C_GetObjectSize(session_, 0, &size), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(P11()->C_GetObjectSize(0xFFF0, root, &size), CKR_SESSION_HANDLE_INVALID);
    EXPECT_EQ(P11()->C_GetObjectSize(session_, 0xFFF0, &size), CKR_OBJECT_HANDLE_INVALID);
}

// The e-signature flag of a key on a type-4 card, in this untrusted process.
TEST(EsignKey, AlwaysAuthenticateForAnUntrustedProcess) {
    const EsignCard& card = Esign();
    CK_SLOT_ID slot = SlotOf(card.reader);
    CK_SESSION_HANDLE session = vctest::OpenSession(slot, false);
    Login(session);
    CK_OBJECT_HANDLE key = One(session, CKO_PRIVATE_KEY, card.keyId);
    for (CK_ATTRIBUTE_TYPE type : {CKA_ESIGN, CKA_ALWAYS_AUTHENTICATE, CKA_SIGN}) EXPECT_TRUE(Bool(session, key, type));
    EXPECT_TRUE(Bool(session, One(session, CKO_PUBLIC_KEY, card.keyId), CKA_ESIGN));
    CloseAll(slot);
}

}  // namespace
