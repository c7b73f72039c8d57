#include <gtest/gtest.h>

#include "OpensslHelpers.h"
#include "core/CoreObjects.h"
#include "core/Hash.h"

using namespace Vellumcrest::Core;
using namespace coretest;

namespace {

Bytes Get(const unsigned char* data, unsigned long size) { return Bytes(data, data + size); }

// One CA key and a client key for all tests of this file (key generation is the slow part).
struct Keys {
    Pkey ca = RsaKey(2048);
    Pkey client = RsaKey(1024);
    Pkey other = RsaKey(1024);
    Pkey ec = EcKey();
};
Keys& K() {
    static Keys keys;
    return keys;
}

}  // namespace

TEST(Certificate, ParsesFieldsOfAnRsaCertificate) {
    CertOptions options;
    options.subjectCN = "Jan Nov\xC3\xA1k";
    options.issuerCN = "Test CA";
    Cert x = MakeCert(K().client.get(), K().ca.get(), options);
    Bytes der = Der(x.get());

    Certificate certificate;
    ASSERT_EQ(certificate.SetCertificate(der.data(), der.size()), 0);
    // Subject, issuer, serial and value are compared with OpenSSL through C_GetAttributeValue.
    EXPECT_EQ(Get(certificate.GetModulus(), certificate.GetModulusSize()), Modulus(K().client.get()));
    EXPECT_EQ(Hex(Get(certificate.GetExponent(), certificate.GetExponentSize())), "010001");

    // Computed label and ID without a card: subject CN, SHA-1 of the modulus.
    unsigned long length = 0;
    const unsigned char* label = certificate.GetAttrLabel(nullptr, &length);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(label), length), "Jan Nov\xC3\xA1k");
    ASSERT_EQ(certificate.SetCryptokiID(nullptr), 0);
    const unsigned char* id = certificate.GetAttrId(nullptr, &length);
    EXPECT_EQ(Get(id, length), Digest(EVP_sha1(), Modulus(K().client.get())));
}

// Loads a certificate made by OpenSSL for subject, signed by signer (subject when null).
static void LoadCert(Certificate* certificate, EVP_PKEY* subject, EVP_PKEY* signer, const CertOptions& options) {
    Bytes der = Der(MakeCert(subject, signer, options).get());
    ASSERT_EQ(certificate->SetCertificate(der.data(), der.size()), 0);
}

TEST(Certificate, SerialNumberDerKeepsSignAndLength) {
    const struct {
        long serial;
        const char* der;
    } cases[] = {{1, "020101"}, {0x80, "02020080"}, {0x7FFFFFFF, "02047fffffff"}, {-5, "0201fb"}};
    for (const auto& c : cases) {
        CertOptions options;
        options.serial = c.serial;
        Certificate certificate;
        LoadCert(&certificate, K().other.get(), nullptr, options);
        EXPECT_EQ(Hex(Get(certificate.GetSerialNumberDER(), certificate.GetSerialNumberDERSize())), c.der);
    }
}

TEST(Certificate, CaSelfSignedAndIssuedBy) {
    CertOptions caOptions;
    caOptions.subjectCN = "Test CA";
    caOptions.ca = true;
    Certificate ca;
    LoadCert(&ca, K().ca.get(), nullptr, caOptions);
    EXPECT_TRUE(ca.IsCACertificate());
    EXPECT_TRUE(ca.IsSelfSigned());
    EXPECT_TRUE(ca.IsIssuedByCert(&ca));

    CertOptions leafOptions;
    leafOptions.subjectCN = "Client";
    leafOptions.issuerCN = "Test CA";
    leafOptions.basicConstraintsFalse = true;
    Certificate leaf;
    LoadCert(&leaf, K().client.get(), K().ca.get(), leafOptions);
    EXPECT_FALSE(leaf.IsCACertificate());
    EXPECT_FALSE(leaf.IsSelfSigned());
    EXPECT_TRUE(leaf.IsIssuedByCert(&ca));
    EXPECT_FALSE(ca.IsIssuedByCert(&leaf));
    EXPECT_FALSE(leaf.IsIssuedByCert(nullptr));

    // Same issuer name, wrong key: not issued by that certificate.
    Certificate impostor;
    LoadCert(&impostor, K().other.get(), nullptr, caOptions);
    EXPECT_FALSE(leaf.IsIssuedByCert(&impostor));
    // Signed by the right key, but the issuer name differs.
    leafOptions.issuerCN = "Another CA";
    Certificate renamed;
    LoadCert(&renamed, K().client.get(), K().ca.get(), leafOptions);
    EXPECT_FALSE(renamed.IsIssuedByCert(&ca));
    // Issuer equals subject but someone else signed it: not self-signed.
    Certificate forged;
    LoadCert(&forged, K().client.get(), K().other.get(), CertOptions());
    EXPECT_FALSE(forged.IsSelfSigned());
}

TEST(Certificate, NonRsaCertificateLoadsWithoutModulus) {
    Certificate certificate;
    LoadCert(&certificate, K().ec.get(), nullptr, CertOptions());
    EXPECT_EQ(certificate.GetModulusSize(), 0u);
    EXPECT_TRUE(certificate.IsSelfSigned());
    ASSERT_EQ(certificate.SetCryptokiID(nullptr), 0);
    EXPECT_EQ(certificate.GetCryptokiID().length, 20u);  // SHA-1 of the public key bits
}

TEST(Certificate, RejectsGarbageAndLeavesTheObjectEmpty) {
    CertOptions options;
    Bytes der = Der(MakeCert(K().other.get(), nullptr, options).get());
    Certificate certificate;
    ASSERT_EQ(certificate.SetCertificate(der.data(), der.size()), 0);

    Bytes trailing = der;
    trailing.push_back(0x00);
    EXPECT_NE(certificate.SetCertificate(trailing.data(), trailing.size()), 0);
    EXPECT_EQ(certificate.GetCertificateDataSize(), 0u);
    EXPECT_EQ(certificate.GetModulusSize(), 0u);
    EXPECT_FALSE(certificate.IsSelfSigned());

    const unsigned char junk[] = {0x30, 0x03, 0x02, 0x01, 0x01};
    EXPECT_NE(certificate.SetCertificate(junk, sizeof(junk)), 0);
    EXPECT_NE(certificate.SetCertificate(nullptr, 10), 0);
    EXPECT_NE(certificate.SetCertificate(der.data(), 0), 0);
    for (size_t cut = 0; cut < der.size(); cut += 7) {
        Bytes part(der.begin(), der.begin() + cut);
        EXPECT_NE(certificate.SetCertificate(part.data(), part.size()), 0) << cut;
    }
    EXPECT_EQ(certificate.GetCertificateDataSize(), 0u);

    // Without a label the computed one is "Certificate" when there is no CN.
    unsigned long length = 0;
    const unsigned char* label = certificate.GetAttrLabel(nullptr, &length);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(label), length), "Certificate");
    EXPECT_NE(certificate.IsIssuedByCert(&certificate), true);
}
