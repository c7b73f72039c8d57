// C_CreateObject: refused templates, what the session allows, label and ID limits, the
// three certificate kinds, private-key import and a full card.
#include <cstdio>
#include <functional>

#include <gtest/gtest.h>

#include "ImportSupport.h"

using namespace imptest;

namespace {

CK_ULONG ulongOf(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type) {
    CK_ULONG value = 0xDEADBEEF;
    CK_ATTRIBUTE attribute = {type, &value, sizeof value};
    EXPECT_EQ(P11()->C_GetAttributeValue(session, object, &attribute, 1), CKR_OK) << std::hex << type;
    return value;
}

bool boolOf(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type) {
    CK_BBOOL value = 0x55;
    CK_ATTRIBUTE attribute = {type, &value, sizeof value};
    EXPECT_EQ(P11()->C_GetAttributeValue(session, object, &attribute, 1), CKR_OK) << std::hex << type;
    return value == CK_TRUE;
}

std::string textOf(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type) {
    Bytes value = vctest::Attribute(session, object, type);
    return std::string(value.begin(), value.end());
}

// "memory: T total, F free" of a dump: true when nothing is stored.
bool cardEmpty(const std::string& dump) {
    size_t at = dump.find("memory: ");
    if (at == std::string::npos) return false;
    unsigned long total = 0, free = 0;
    return std::sscanf(dump.c_str() + at, "memory: %lu total, %lu free", &total, &free) == 2 && total == free &&
           Count(dump, "container ") == 0;
}

}  // namespace

// Every refused template gives its own result and writes nothing: the card stays empty,
// also after a key import that failed on the card (its container is taken away again).
TEST(CreateObject, RefusedTemplatesLeaveTheCardEmpty) {
    CK_SLOT_ID slot = NewCard("refused", 1);
    CK_SESSION_HANDLE session = Session(slot);
    const Pki& pki = GetPki();
    using Make = std::function<Template()>;
    const Make ca = [&] { return CertificateTemplate(pki.caDer); };
    const Make data = [] { return DataTemplate(Bytes(20, 0xDA), "d"); };
    const Make key = [&] { return KeyTemplate(pki.clientKey); };
    struct {
        const char* what;
        Template tmpl;
        CK_RV expected;
    } cases[] = {
        {"no class", ca().Without(CKA_CLASS), CKR_ATTRIBUTE_VALUE_INVALID},
        {"public key", Template().Ulong(CKA_CLASS, CKO_PUBLIC_KEY).Bool(CKA_TOKEN, true), CKR_ATTRIBUTE_VALUE_INVALID},
        {"last of two classes unsupported", data().Ulong(CKA_CLASS, CKO_SECRET_KEY), CKR_ATTRIBUTE_VALUE_INVALID},
        {"class of the wrong size", ca().Without(CKA_CLASS).Bytes(CKA_CLASS, {1}), CKR_ATTRIBUTE_VALUE_INVALID},
        {"certificate without value", ca().Without(CKA_VALUE), CKR_TEMPLATE_INCOMPLETE},
        {"certificate without token", ca().Without(CKA_TOKEN), CKR_TEMPLATE_INCOMPLETE},
        {"attribute certificate",
         ca().Without(CKA_CERTIFICATE_TYPE).Ulong(CKA_CERTIFICATE_TYPE, CKC_X_509_ATTR_CERT),
         CKR_ATTRIBUTE_VALUE_INVALID},
        {"33-byte ID", ca().Bytes(CKA_ID, Bytes(33, 0x33)), CKR_ATTRIBUTE_VALUE_INVALID},
        {"session certificate", ca().Without(CKA_TOKEN).Bool(CKA_TOKEN, false), CKR_TEMPLATE_INCONSISTENT},
        {"not DER", CertificateTemplate({0x30, 0x03, 0x02, 0x01, 0x01}), CKR_FUNCTION_FAILED},
        {"private data object", data().Without(CKA_PRIVATE).Bool(CKA_PRIVATE, true), CKR_TEMPLATE_INCONSISTENT},
        {"empty data object", DataTemplate({}, "e"), CKR_FUNCTION_FAILED},
        {"data without value", data().Without(CKA_VALUE), CKR_TEMPLATE_INCOMPLETE},
        {"key without key type", key().Without(CKA_KEY_TYPE), CKR_TEMPLATE_INCOMPLETE},
        {"key without a prime", key().Without(CKA_PRIME_2), CKR_TEMPLATE_INCOMPLETE},
        {"EC key", key().Without(CKA_KEY_TYPE).Ulong(CKA_KEY_TYPE, CKK_EC), CKR_ATTRIBUTE_VALUE_INVALID},
        {"1536-bit key", KeyTemplate(pki.smallKey), CKR_TEMPLATE_INCONSISTENT},
        {"key without token", key().Without(CKA_TOKEN), CKR_TEMPLATE_INCONSISTENT},
        {"private key marked public", key().Without(CKA_PRIVATE).Bool(CKA_PRIVATE, false), CKR_TEMPLATE_INCONSISTENT},
        {"key for no use", key().Without(CKA_SIGN), CKR_TEMPLATE_INCONSISTENT},
        {"components of no key",
         key().Without(CKA_PRIVATE_EXPONENT).Bytes(CKA_PRIVATE_EXPONENT, Bytes(256, 0x5A)), CKR_FUNCTION_FAILED},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.what);
        CK_OBJECT_HANDLE handle = 0x77;
        EXPECT_EQ(P11()->C_CreateObject(session, c.tmpl.data(), c.tmpl.size(), &handle), c.expected);
        EXPECT_EQ(handle, 0x77u) << "a refused call leaves the handle alone";
    }

    Template tmpl = ca();
    CK_OBJECT_HANDLE handle = 0;
    EXPECT_EQ(P11()->C_CreateObject(session, tmpl.data(), tmpl.size(), nullptr), CKR_ARGUMENTS_BAD);
    CK_ATTRIBUTE* attributes = tmpl.data();
    attributes[3].pValue = nullptr;  // CKA_VALUE said to have bytes
    EXPECT_EQ(P11()->C_CreateObject(session, attributes, tmpl.size(), &handle), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(P11()->C_CreateObject(session, nullptr, 2, &handle), CKR_ARGUMENTS_BAD);
    EXPECT_TRUE(cardEmpty(Dump("refused"))) << Dump("refused");
    EXPECT_EQ(P11()->C_CloseAllSessions(slot), CKR_OK);
}

// Read-only sessions create no token objects; private objects need the user, also a key
// whose template leaves CKA_PRIVATE to its default. Public data objects need no login.
TEST(CreateObject, SessionStateDecidesWhatMayBeCreated) {
    CK_SLOT_ID slot = NewCard("sessions", 1);
    const Pki& pki = GetPki();
    CK_OBJECT_HANDLE handle = 0;
    {
        CK_SESSION_HANDLE readOnly = Session(slot, false);
        Template tmpl = CertificateTemplate(pki.caDer);
        EXPECT_EQ(Create(readOnly, tmpl, &handle), CKR_SESSION_READ_ONLY);
        EXPECT_EQ(P11()->C_CloseAllSessions(slot), CKR_OK);
    }
    CK_SESSION_HANDLE session = Session(slot, true, false);
    Template privateData = DataTemplate({1, 2, 3}, "p").Without(CKA_PRIVATE).Bool(CKA_PRIVATE, true);
    EXPECT_EQ(Create(session, privateData, &handle), CKR_USER_NOT_LOGGED_IN);
    Template key = KeyTemplate(pki.clientKey).Without(CKA_PRIVATE);
    EXPECT_EQ(Create(session, key, &handle), CKR_USER_NOT_LOGGED_IN);
    EXPECT_EQ(Count(Dump("sessions"), "container "), 0u);

    Template data = DataTemplate({1, 2, 3}, "public").Bool(CKA_MODIFIABLE, true);
    ASSERT_EQ(Create(session, data, &handle), CKR_OK);
    EXPECT_NE(handle, 0u);
    EXPECT_FALSE(boolOf(session, handle, CKA_MODIFIABLE));
    EXPECT_FALSE(boolOf(session, handle, CKA_PRIVATE));
    EXPECT_EQ(textOf(session, handle, CKA_LABEL), "public");
    EXPECT_EQ(P11()->C_CloseAllSessions(slot), CKR_OK);
}

// CKA_LABEL holds 40 bytes on cards of types 1 and 2 and 80 on types 3 and 4; a longer
// one is dropped and the certificate still stored. CKA_ID holds 32 bytes.
TEST(CreateObject, LabelLimitFollowsTheCardType) {
    const Pki& pki = GetPki();
    const std::string label41(41, 'L'), label81(81, 'L');
    const Bytes id32(32, 0x32);
    for (int type : {1, 3}) {
        SCOPED_TRACE(type);
        const std::string reader = "labels-" + std::to_string(type);
        CK_SLOT_ID slot = NewCard(reader, type);
        CK_SESSION_HANDLE session = Session(slot);
        CK_OBJECT_HANDLE ca = 0, partner = 0;
        Template first = CertificateTemplate(pki.caDer).Text(CKA_LABEL, label41).Bytes(CKA_ID, id32);
        ASSERT_EQ(Create(session, first, &ca), CKR_OK);
        EXPECT_EQ(textOf(session, ca, CKA_LABEL), type == 3 ? label41 : "Import CA");
        EXPECT_EQ(vctest::Attribute(session, ca, CKA_ID), id32);
        Template second = CertificateTemplate(pki.partnerDer).Text(CKA_LABEL, label81);
        ASSERT_EQ(Create(session, second, &partner), CKR_OK);
        EXPECT_EQ(textOf(session, partner, CKA_LABEL), "Import Partner");
        EXPECT_EQ(P11()->C_CloseAllSessions(slot), CKR_OK);
    }
}

// A certificate whose key is on the token goes into the key's container once its issuer is
// there (a self-signed one without); a CA certificate becomes a root, any other a partner.
// The same certificate again returns the stored object and writes nothing.
TEST(CertificateImport, KindFollowsTheTokenAndDuplicatesReturnTheStoredObject) {
    const Pki& pki = GetPki();
    CK_SLOT_ID slot = NewCard("certs", 1);
    CK_SESSION_HANDLE session = Session(slot);
    CK_OBJECT_HANDLE key = 0, selfKey = 0, ca = 0, client = 0, partner = 0, self = 0, again = 0;
    Template clientKey = KeyTemplate(pki.clientKey).Bytes(CKA_ID, {0x02});
    ASSERT_EQ(Create(session, clientKey, &key), CKR_OK);

    Template clientCert = CertificateTemplate(pki.clientDer).Bytes(CKA_ID, {0x01}).Text(CKA_LABEL, "c");
    EXPECT_EQ(Create(session, clientCert, &client), CKR_FUNCTION_FAILED) << "issuer not on the token";
    EXPECT_EQ(Count(Dump("certs"), "certificate "), 0u);

    Template caCert = CertificateTemplate(pki.caDer).Text(CKA_LABEL, "ca");
    ASSERT_EQ(Create(session, caCert, &ca), CKR_OK);
    const std::string afterCa = Dump("certs");
    ASSERT_EQ(Create(session, caCert, &again), CKR_OK);
    EXPECT_EQ(again, ca);
    EXPECT_EQ(Dump("certs"), afterCa) << "a duplicate writes nothing";
    EXPECT_EQ(ulongOf(session, ca, CKA_CERTIFICATE_CATEGORY), 2u);
    EXPECT_TRUE(boolOf(session, ca, CKA_TRUSTED));

    ASSERT_EQ(Create(session, clientCert, &client), CKR_OK);
    ASSERT_EQ(Create(session, clientCert, &again), CKR_OK);
    EXPECT_EQ(again, client);
    EXPECT_EQ(ulongOf(session, client, CKA_CERTIFICATE_CATEGORY), 1u);
    EXPECT_EQ(vctest::Attribute(session, client, CKA_ID), Bytes{0x01});
    Template secondCert = CertificateTemplate(pki.secondDer);
    EXPECT_EQ(Create(session, secondCert, &again), CKR_FUNCTION_FAILED) << "the key's container is taken";

    Template partnerCert = CertificateTemplate(pki.partnerDer);
    ASSERT_EQ(Create(session, partnerCert, &partner), CKR_OK);
    EXPECT_EQ(ulongOf(session, partner, CKA_CERTIFICATE_CATEGORY), 3u);

    Template keyOfSelf = KeyTemplate(pki.selfKey).Bytes(CKA_ID, {0x03});
    ASSERT_EQ(Create(session, keyOfSelf, &selfKey), CKR_OK);
    Template selfCert = CertificateTemplate(pki.selfDer);
    ASSERT_EQ(Create(session, selfCert, &self), CKR_OK);
    EXPECT_EQ(ulongOf(session, self, CKA_CERTIFICATE_CATEGORY), 1u);
    EXPECT_EQ(vctest::Attribute(session, self, CKA_ID), Bytes{0x03}) << "a client certificate shares its key's ID";

    const std::string dump = Dump("certs");
    EXPECT_EQ(Count(dump, ": root "), 1u) << dump;
    EXPECT_EQ(Count(dump, ": client "), 2u) << dump;
    EXPECT_EQ(Count(dump, ": partner "), 1u) << dump;
    EXPECT_EQ(P11()->C_CloseAllSessions(slot), CKR_OK);
}

// An imported key pair: both halves listed with the template's ID and label, not local,
// without a proof of origin. (tests/clients/test_import_pkcs11tool.sh verifies its
// signatures with OpenSSL.)
TEST(KeyImport, ImportedKeyPairIsListedAndNotLocal) {
    const Pki& pki = GetPki();
    CK_SLOT_ID slot = NewCard("keys", 1);
    CK_SESSION_HANDLE session = Session(slot);
    CK_OBJECT_HANDLE key = 0, decryptKey = 0;
    Template tmpl = KeyTemplate(pki.clientKey).Bytes(CKA_ID, {0x02}).Text(CKA_LABEL, "imported");
    ASSERT_EQ(Create(session, tmpl, &key), CKR_OK);
    EXPECT_EQ(ulongOf(session, key, CKA_CLASS), CKO_PRIVATE_KEY);
    EXPECT_FALSE(boolOf(session, key, CKA_LOCAL));
    EXPECT_TRUE(boolOf(session, key, CKA_SIGN));
    EXPECT_FALSE(boolOf(session, key, CKA_DECRYPT));
    EXPECT_EQ(textOf(session, key, CKA_LABEL), "imported");
    Bytes proof;
    EXPECT_EQ(vctest::ReadAttribute(session, key, CKA_VELLUMCREST_PROOF, &proof), CKR_ATTRIBUTE_SENSITIVE);
    CK_OBJECT_HANDLE publicKey = vctest::OneObject(session, CKO_PUBLIC_KEY, {0x02});
    EXPECT_EQ(textOf(session, publicKey, CKA_LABEL), "imported");

    // CKA_DECRYPT makes a decryption key, whatever its value.
    Template decrypt = KeyTemplate(pki.selfKey, false).Without(CKA_DECRYPT).Bool(CKA_DECRYPT, false);
    ASSERT_EQ(Create(session, decrypt, &decryptKey), CKR_OK);
    EXPECT_TRUE(boolOf(session, decryptKey, CKA_DECRYPT));
    EXPECT_FALSE(boolOf(session, decryptKey, CKA_SIGN));
    EXPECT_EQ(P11()->C_CloseAllSessions(slot), CKR_OK);
}

// A card without room answers CKR_DEVICE_MEMORY and keeps no part of the object.
TEST(CreateObject, FullCardAnswersDeviceMemory) {
    const Pki& pki = GetPki();
    CK_SLOT_ID slot = NewCard("full", 1, "--memory 600");
    CK_SESSION_HANDLE session = Session(slot);
    CK_OBJECT_HANDLE handle = 0;
    Template certificate = CertificateTemplate(pki.caDer);
    EXPECT_EQ(Create(session, certificate, &handle), CKR_DEVICE_MEMORY);
    Template data = DataTemplate(Bytes(601, 1), "big");
    EXPECT_EQ(Create(session, data, &handle), CKR_DEVICE_MEMORY);
    Template key = KeyTemplate(pki.clientKey);
    EXPECT_EQ(Create(session, key, &handle), CKR_DEVICE_MEMORY);
    EXPECT_TRUE(cardEmpty(Dump("full"))) << Dump("full");
    EXPECT_EQ(P11()->C_CloseAllSessions(slot), CKR_OK);
}
