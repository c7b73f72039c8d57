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
    return CK_ATTRIBUTE{type, const_cast<void*>(value), length};
}

Lines LogOne(const CK_ATTRIBUTE& attribute, int logLevel = 3) {
    vcframe::LogCapture capture(logLevel);
    Pkcs11Template::LogAttribute(attribute, "> ", 3);
    return capture.Lines();
}

TEST(AttributeTypeName, VendorNamesAndUnknownTypes) {
    EXPECT_STREQ(AttributeTypeName(0x40000600), "CKA_ALLOWED_MECHANISMS");
    EXPECT_STREQ(AttributeTypeName(0x80000012), "CKA_VELLUMCREST_PROOF");
    EXPECT_STREQ(AttributeTypeName(0x80000014), "CKA_ORVOAPP");
    for (CK_ATTRIBUTE_TYPE type : {0x80000100ul, 0x80000000ul, 0x4ul, 0x131ul, 0x211ul, 0x1000000000ul})
        EXPECT_STREQ(AttributeTypeName(type), "UNKNOWN!") << std::hex << type;
}

TEST(LogTemplate, EmptyNullAndFilteredTemplates) {
    vcframe::LogCapture capture(3);
    CK_ATTRIBUTE unused = Attr(CKA_LABEL, "x", 1);
    Pkcs11Template::LogTemplate(&unused, 0, "hledaci sablona", 3);
    Pkcs11Template::LogTemplate(nullptr, 3, "sablona verejneho klice", 3);
    Pkcs11Template::LogTemplate(&unused, 1, "nad urovni", 4);  // above the configured level: nothing
    EXPECT_EQ(capture.Lines(),
              (Lines{"hledaci sablona: 0 atributu", "sablona verejneho klice: 3 atributu:", "  sablona je NULL_PTR"}));
}

TEST(LogAttribute, ShortOrNullValuesAreNeverReadPastTheirEnd) {
    // Values at the end of a heap block, so that reading past them would be caught.
    std::vector<unsigned char> four(4, 0x01), seven(7, '1');
    const struct {
        CK_ATTRIBUTE attribute;
        const char* line;
    } cases[] = {
        {Attr(CKA_CLASS, four.data(), 4), "> CKA_CLASS (0x0) = null"},
        {Attr(CKA_MODULUS_BITS, four.data(), 4), "> CKA_MODULUS_BITS (0x121) = null"},
        {Attr(CKA_CLASS, nullptr, sizeof(CK_ULONG)), "> CKA_CLASS (0x0) = null"},
        {Attr(CKA_START_DATE, seven.data(), 7), "> CKA_START_DATE (0x110) = null"},
        {Attr(CKA_END_DATE, nullptr, 8), "> CKA_END_DATE (0x111) = null"},
        {Attr(CKA_TOKEN, &four[0], 0), "> CKA_TOKEN (0x1) = null"},
        {Attr(CKA_COLOR, nullptr, 1), "> CKA_COLOR (0x405) = null"},
        {Attr(CKA_ID, nullptr, 20), "> CKA_ID (0x102) = null"},
    };
    for (const auto& c : cases) EXPECT_EQ(LogOne(c.attribute), Lines{c.line});
    // A longer value reads only its first CK_ULONG.
    std::vector<unsigned char> longer(sizeof(CK_ULONG) + 4, 0);
    longer[0] = CKO_CERTIFICATE;
    EXPECT_EQ(LogOne(Attr(CKA_CLASS, longer.data(), longer.size())), Lines{"> CKA_CLASS (0x0) = CKO_CERTIFICATE (0x1)"});
}

TEST(LogAttribute, BytesAndLongValues) {
    const char label[] = "Muj klic";
    Lines lines = LogOne(Attr(CKA_LABEL, label, 8));
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[0], "> CKA_LABEL (0x3) = ");
    EXPECT_NE(lines[1].find("4d 75 6a 20 6b 6c 69 63"), std::string::npos) << lines[1];
    // Unknown types print as bytes after a debug line.
    lines = LogOne(Attr(0x80000100, label, 2), 4);
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines[1], "> UNKNOWN! (0x80000100) = ");
    CK_DATE date;
    std::memcpy(&date, "20240309", 8);
    vcframe::LogCapture capture(3);
    Pkcs11Template::LogAttribute(Attr(CKA_END_DATE, &date, sizeof date), nullptr, 3);
    EXPECT_EQ(capture.Lines(), Lines{"CKA_END_DATE (0x111) = 09.03.2024 (0x0)"});

    std::vector<unsigned char> exact(4096, 0xAB);
    EXPECT_EQ(LogOne(Attr(CKA_VALUE, exact.data(), exact.size())).size(), 1u + 4096 / 16);
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
        char expected[128];
        std::snprintf(expected, sizeof expected, "%s (0x%lx) = hodnota skryta (attr.ulValueLen=5)",
                      AttributeTypeName(type), type);
        EXPECT_EQ(capture.Lines(), Lines{expected});
    }

    // The value of a private or secret key in a template is key material too.
    vcframe::LogCapture capture(4);
    CK_OBJECT_CLASS keyClass = CKO_SECRET_KEY;
    CK_ATTRIBUTE tmpl[] = {Attr(CKA_VALUE, secret, sizeof secret), Attr(CKA_CLASS, &keyClass, sizeof keyClass)};
    Pkcs11Template::LogTemplate(tmpl, 2, "sablona", 3);
    EXPECT_EQ(capture.Lines(), (Lines{"sablona: 2 atributu:",
                                      "    atribut sablony: CKA_VALUE (0x11) = hodnota skryta (attr.ulValueLen=5)",
                                      "    atribut sablony: CKA_CLASS (0x0) = CKO_SECRET_KEY (0x4)"}));
}

}  // namespace
