// The card's stored secrets depend on these primitives giving the standard results: HMAC and
// AES-GCM through pre-fetched algorithms, and RSA keys parsed from PKCS#8 without the generic
// decoder.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include "core/CardCrypto.h"

using namespace Vellumcrest::Core;

namespace {

std::string hex(const unsigned char* data, size_t size) { return CardCrypto::ToHex(data, size); }

std::vector<unsigned char> signRaw(EVP_PKEY* key, const std::vector<unsigned char>& data) {
    std::vector<unsigned char> signature;
    EXPECT_TRUE(CardCrypto::RsaSignRaw(key, data.data(), data.size(), &signature));
    return signature;
}

}  // namespace

TEST(CardCryptoTest, HmacAndSealingGiveTheStandardResults) {
    // RFC 4231, test case 2.
    const std::string key = "Jefe", data = "what do ya want for nothing?";
    unsigned char mac[32];
    ASSERT_TRUE(CardCrypto::HmacSha256(reinterpret_cast<const unsigned char*>(key.data()), key.size(),
                                       reinterpret_cast<const unsigned char*>(data.data()), data.size(), mac));
    EXPECT_EQ(hex(mac, sizeof mac), "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843");
    // Repeated use of the shared context keeps giving the same value.
    unsigned char again[32];
    ASSERT_TRUE(CardCrypto::HmacSha256(reinterpret_cast<const unsigned char*>(key.data()), key.size(),
                                       reinterpret_cast<const unsigned char*>(data.data()), data.size(), again));
    EXPECT_EQ(hex(again, sizeof again), hex(mac, sizeof mac));

    unsigned char sealKey[32] = {7};
    const std::string plain = "sealed secret";
    std::vector<unsigned char> sealed;
    ASSERT_TRUE(CardCrypto::Seal(sealKey, reinterpret_cast<const unsigned char*>(plain.data()), plain.size(), "aad",
                                 &sealed));
    SecureBytes opened;
    ASSERT_TRUE(CardCrypto::Open(sealKey, sealed, "aad", &opened));
    EXPECT_EQ(std::string(opened.data(), opened.data() + opened.size()), plain);
    EXPECT_FALSE(CardCrypto::Open(sealKey, sealed, "other aad", &opened));
}

TEST(CardCryptoTest, Pkcs8RsaKeysParseToTheSameKeyAndOtherKeysStillLoad) {
    for (int bits : {1024, 2048}) {
        SCOPED_TRACE(bits);
        PkeyPtr original = CardCrypto::GenerateRsa(bits);
        ASSERT_TRUE(original);
        SecureBytes der;
        ASSERT_TRUE(CardCrypto::PrivateKeyToDer(original.get(), &der));
        PkeyPtr parsed = CardCrypto::PrivateKeyFromDer(der);
        ASSERT_TRUE(parsed);
        EXPECT_EQ(EVP_PKEY_eq(original.get(), parsed.get()), 1);
        // PKCS#1 v1.5 signatures are deterministic: both keys must give the same bytes.
        std::vector<unsigned char> data(35, 0x5A);
        EXPECT_EQ(signRaw(parsed.get(), data), signRaw(original.get(), data));
    }
    // A truncated key is refused; an EC key (the attestation key) loads through the general path.
    PkeyPtr rsa = CardCrypto::GenerateRsa(1024);
    SecureBytes der;
    ASSERT_TRUE(CardCrypto::PrivateKeyToDer(rsa.get(), &der));
    SecureBytes truncated(der.data(), der.size() - 10);
    EXPECT_FALSE(CardCrypto::PrivateKeyFromDer(truncated));
    SecureBytes attestation;
    ASSERT_TRUE(CardCrypto::GenerateAttestationKey(&attestation));
    PkeyPtr ec = CardCrypto::PrivateKeyFromDer(attestation);
    ASSERT_TRUE(ec);
    EXPECT_TRUE(EVP_PKEY_is_a(ec.get(), "EC"));
}
