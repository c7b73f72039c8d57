// Attribute names and the log lines of attributes and templates.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "LogCapture.h"
#include "diag/Names.h"

namespace {

using Vellumcrest::Pkcs11::AttributeTypeName;
using Vellumcrest::Pkcs11::Pkcs11Template;
using Lines = std::vector<std::string>;

CK_ATTRIBUTE Attr(CK_ATTRIBUTE_TYPE type, const void* value, CK_ULONG length) {
    CK_ATTRIBUTE attribute;
    attribute.type = type;
    attribute.pValue = const_cast<void*>(value);
    attribute.ulValueLen = length;
    return attribute;
}

Lines LogOne(const CK_ATTRIBUTE& attribute, int level = 3, int logLevel = 3) {
    vcframe::LogCapture capture(logLevel);
    Pkcs11Template::LogAttribute(attribute, "> ", level);
    return capture.Lines();
}

TEST(AttributeTypeName, StandardAndVendorNames) {
    EXPECT_STREQ(AttributeTypeName(CKA_CLASS), "CKA_CLASS");
    EXPECT_STREQ(AttributeTypeName(0x8A), "CKA_HASH_OF_SUBJECT_PUBLIC_KEY");
    EXPECT_STREQ(AttributeTypeName(0x130), "CKA_PRIME");
    EXPECT_STREQ(AttributeTypeName(0x202), "CKA_ALWAYS_AUTHENTICATE");
    EXPECT_STREQ(AttributeTypeName(0x482), "CKA_MIME_TYPES");
    EXPECT_STREQ(AttributeTypeName(0x40000211), "CKA_WRAP_TEMPLATE");
    EXPECT_STREQ(AttributeTypeName(0x40000600), "CKA_ALLOWED_MECHANISMS");
    EXPECT_STREQ(AttributeTypeName(0x80000011), "CKA_TWINS");
    EXPECT_STREQ(AttributeTypeName(0x80000012), "CKA_VELLUMCREST_PROOF");
    EXPECT_STREQ(AttributeTypeName(0x80000013), "CKA_ESIGN");
    EXPECT_STREQ(AttributeTypeName(0x80000014), "CKA_ORVOAPP");
    for (CK_ATTRIBUTE_TYPE type : {0x80000100ul, 0x80000000ul, 0x4ul, 0x131ul, 0x200ul, 0x211ul, 0x500ul,
                                   0x1000000000ul})
        EXPECT_STREQ(AttributeTypeName(type), "UNKNOWN!") << std::hex << type;
}

TEST(LogTemplate, ClassAndTokenTemplate) {
    vcframe::LogCapture capture(3);
    CK_OBJECT_CLASS objectClass = CKO_PRIVATE_KEY;
    CK_BBOOL token = CK_TRUE;
    CK_ATTRIBUTE tmpl[] = {Attr(CKA_CLASS, &objectClass, sizeof objectClass), Attr(CKA_TOKEN, &token, 1)};
    Pkcs11Template::LogTemplate(tmpl, 2, "sablona", 3);
    EXPECT_EQ(capture.Lines(), (Lines{"sablona: 2 atributu:",
                                      "    atribut sablony: CKA_CLASS (0x0) = CKO_PRIVATE_KEY (0x3)",
                                      "    atribut sablony: CKA_TOKEN (0x1) = true (0x1)"}));
}

TEST(LogTemplate, EmptyNullAndFilteredTemplates) {
    vcframe::LogCapture capture(3);
    CK_ATTRIBUTE unused = Attr(CKA_LABEL, "x", 1);
    Pkcs11Template::LogTemplate(&unused, 0, "hledaci sablona", 3);
    Pkcs11Template::LogTemplate(nullptr, 3, "sablona verejneho klice", 3);
    Pkcs11Template::LogTemplate(nullptr, 0, "sablona privatniho klice", 3);
    // Above the configured level nothing is written.
    Pkcs11Template::LogTemplate(&unused, 1, "sablona pro vyhledani public klice", 4);
    EXPECT_EQ(capture.Lines(), (Lines{"hledaci sablona: 0 atributu", "sablona verejneho klice: 3 atributu:",
                                      "  sablona je NULL_PTR", "sablona privatniho klice: 0 atributu",
                                      "  sablona je NULL_PTR"}));
}

TEST(LogAttribute, Booleans) {
    CK_BYTE on = 1, off = 0, other = 2;
    EXPECT_EQ(LogOne(Attr(CKA_SIGN, &on, 1)), Lines{"> CKA_SIGN (0x108) = true (0x1)"});
    EXPECT_EQ(LogOne(Attr(CKA_ESIGN, &off, 1)), Lines{"> CKA_ESIGN (0x80000013) = false (0x0)"});
    EXPECT_EQ(LogOne(Attr(CKA_TWINS, &other, 1)), Lines{"> CKA_TWINS (0x80000011) = false (0x0)"});
    EXPECT_EQ(LogOne(Attr(CKA_COLOR, nullptr, 1)), Lines{"> CKA_COLOR (0x405) = null"});
    EXPECT_EQ(LogOne(Attr(CKA_TOKEN, &on, 0)), Lines{"> CKA_TOKEN (0x1) = null"});
}

TEST(LogAttribute, NumbersAndNamedValues) {
    CK_ULONG bits = 2048, keyType = 0x10, certType = CKC_X_509, category = 2, feature = CKH_VENDOR_DEFINED;
    CK_ULONG pixels = 640, mechanism = CKM_RSA_PKCS_KEY_PAIR_GEN, big = 0x123456789ul;
    EXPECT_EQ(LogOne(Attr(CKA_MODULUS_BITS, &bits, sizeof bits)), Lines{"> CKA_MODULUS_BITS (0x121) = 2048 (0x800)"});
    EXPECT_EQ(LogOne(Attr(CKA_MODULUS_BITS, &big, sizeof big)),
              Lines{"> CKA_MODULUS_BITS (0x121) = 4886718345 (0x123456789)"});
    EXPECT_EQ(LogOne(Attr(CKA_KEY_TYPE, &keyType, sizeof keyType)), Lines{"> CKA_KEY_TYPE (0x100) = UNKNOWN (0x10)"});
    EXPECT_EQ(LogOne(Attr(CKA_CERTIFICATE_TYPE, &certType, sizeof certType)),
              Lines{"> CKA_CERTIFICATE_TYPE (0x80) = CKC_X_509 (0x0)"});
    EXPECT_EQ(LogOne(Attr(CKA_CERTIFICATE_CATEGORY, &category, sizeof category)),
              Lines{"> CKA_CERTIFICATE_CATEGORY (0x87) = authority (0x2)"});
    EXPECT_EQ(LogOne(Attr(CKA_JAVA_MIDP_SECURITY_DOMAIN, &category, sizeof category)),
              Lines{"> CKA_JAVA_MIDP_SECURITY_DOMAIN (0x88) = operator (0x2)"});
    EXPECT_EQ(LogOne(Attr(CKA_HW_FEATURE_TYPE, &feature, sizeof feature)),
              Lines{"> CKA_HW_FEATURE_TYPE (0x300) = CKH_VENDOR_DEFINED (0x80000000)"});
    EXPECT_EQ(LogOne(Attr(CKA_PIXEL_X, &pixels, sizeof pixels)), Lines{"> CKA_PIXEL_X (0x400) = - (0x280)"});
    EXPECT_EQ(LogOne(Attr(CKA_KEY_GEN_MECHANISM, &mechanism, sizeof mechanism)),
              Lines{"> CKA_KEY_GEN_MECHANISM (0x166) = UNKNOWN (0x0)"});
}

TEST(LogAttribute, ShortOrNullValuesAreNeverReadPastTheirEnd) {
    // Values at the end of a heap block, so that reading past them would be caught.
    std::vector<unsigned char> four(4, 0x01);
    std::vector<unsigned char> seven(7, '1');
    EXPECT_EQ(LogOne(Attr(CKA_CLASS, four.data(), 4)), Lines{"> CKA_CLASS (0x0) = null"});
    EXPECT_EQ(LogOne(Attr(CKA_MODULUS_BITS, four.data(), 4)), Lines{"> CKA_MODULUS_BITS (0x121) = null"});
    EXPECT_EQ(LogOne(Attr(CKA_CLASS, nullptr, sizeof(CK_ULONG))), Lines{"> CKA_CLASS (0x0) = null"});
    EXPECT_EQ(LogOne(Attr(CKA_START_DATE, seven.data(), 7)), Lines{"> CKA_START_DATE (0x110) = null"});
    EXPECT_EQ(LogOne(Attr(CKA_END_DATE, nullptr, 8)), Lines{"> CKA_END_DATE (0x111) = null"});
    // A longer value reads only its first CK_ULONG.
    std::vector<unsigned char> longer(sizeof(CK_ULONG) + 4, 0);
    longer[0] = CKO_CERTIFICATE;
    EXPECT_EQ(LogOne(Attr(CKA_CLASS, longer.data(), longer.size())),
              Lines{"> CKA_CLASS (0x0) = CKO_CERTIFICATE (0x1)"});
}

TEST(LogAttribute, Dates) {
    CK_DATE date;
    std::memcpy(date.year, "2024", 4);
    std::memcpy(date.month, "03", 2);
    std::memcpy(date.day, "09", 2);
    EXPECT_EQ(LogOne(Attr(CKA_END_DATE, &date, sizeof date)), Lines{"> CKA_END_DATE (0x111) = 09.03.2024 (0x0)"});
}

TEST(LogAttribute, Bytes) {
    const char label[] = "Muj klic";
    Lines lines = LogOne(Attr(CKA_LABEL, label, 8));
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[0], "> CKA_LABEL (0x3) = ");
    EXPECT_NE(lines[1].find("4d 75 6a 20 6b 6c 69 63"), std::string::npos) << lines[1];

    EXPECT_EQ(LogOne(Attr(CKA_ID, nullptr, 20)), Lines{"> CKA_ID (0x102) = null"});
    EXPECT_EQ(LogOne(Attr(CKA_VALUE, label, 0)), Lines{"> CKA_VALUE (0x11) = null"});
    // Unknown types print as bytes after a debug line.
    lines = LogOne(Attr(0x80000100, label, 2), 3, 4);
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines[0], "Pkcs11Template::LogAttribute(): hodnotu nasledujiciho atributu vypisuji jako pole bajtu");
    EXPECT_EQ(lines[1], "> UNKNOWN! (0x80000100) = ");
    EXPECT_EQ(LogOne(Attr(CKA_PRIME, label, 2), 3, 3).front(), "> CKA_PRIME (0x130) = ");
}

TEST(LogAttribute, LongValuesPrintOnlyTheirLength) {
    std::vector<unsigned char> exact(4096, 0xAB);
    Lines lines = LogOne(Attr(CKA_VALUE, exact.data(), exact.size()));
    EXPECT_EQ(lines.front(), "> CKA_VALUE (0x11) = ");
    EXPECT_EQ(lines.size(), 1u + 4096 / 16);

    std::vector<unsigned char> tooLong(4097, 0xAB);
    EXPECT_EQ(LogOne(Attr(CKA_VALUE, tooLong.data(), tooLong.size())),
              Lines{"> CKA_VALUE (0x11) = hodnota prilis dlouha (attr.ulValueLen=4097)"});
    // A length beyond 32 bits is printed whole and nothing is read.
    EXPECT_EQ(LogOne(Attr(CKA_SUBJECT, tooLong.data(), 0x100000010ul)),
              Lines{"> CKA_SUBJECT (0x101) = hodnota prilis dlouha (attr.ulValueLen=4294967312)"});
}

TEST(LogAttribute, PrivateKeyMaterialIsNotLogged) {
    const unsigned char secret[] = {0xde, 0xad, 0xbe, 0xef, 0x42};
    for (CK_ATTRIBUTE_TYPE type : {CKA_PRIVATE_EXPONENT, CKA_PRIME_1, CKA_PRIME_2, CKA_EXPONENT_1, CKA_EXPONENT_2,
                                   CKA_COEFFICIENT}) {
        vcframe::LogCapture capture(4);
        Pkcs11Template::LogAttribute(Attr(type, secret, sizeof secret), "", 3);
        Lines lines = capture.Lines();
        ASSERT_EQ(lines.size(), 1u) << std::hex << type;
        char expected[128];
        std::snprintf(expected, sizeof expected, "%s (0x%lx) = hodnota skryta (attr.ulValueLen=5)",
                      AttributeTypeName(type), type);
        EXPECT_EQ(lines[0], expected);
    }

    // The value of a private or secret key in a template is key material too.
    vcframe::LogCapture capture(4);
    CK_OBJECT_CLASS keyClass = CKO_SECRET_KEY;
    CK_ATTRIBUTE tmpl[] = {Attr(CKA_VALUE, secret, sizeof secret), Attr(CKA_CLASS, &keyClass, sizeof keyClass)};
    Pkcs11Template::LogTemplate(tmpl, 2, "sablona", 3);
    EXPECT_EQ(capture.Lines(), (Lines{"sablona: 2 atributu:",
                                      "    atribut sablony: CKA_VALUE (0x11) = hodnota skryta (attr.ulValueLen=5)",
                                      "    atribut sablony: CKA_CLASS (0x0) = CKO_SECRET_KEY (0x4)"}));
    for (const std::string& line : capture.Lines()) EXPECT_EQ(line.find("de ad"), std::string::npos) << line;
}

TEST(LogAttribute, NullPrefix) {
    CK_BYTE on = 1;
    vcframe::LogCapture capture(3);
    Pkcs11Template::LogAttribute(Attr(CKA_DECRYPT, &on, 1), nullptr, 3);
    EXPECT_EQ(capture.Lines(), Lines{"CKA_DECRYPT (0x105) = true (0x1)"});
}

}  // namespace
