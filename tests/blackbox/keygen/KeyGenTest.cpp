// C_GenerateKeyPair through the exported functions: argument and session checks, the
// template checks with their log lines, the kinds of key on ordinary and type-4 cards,
// and what a generated key is after the card is read again.
#include <openssl/evp.h>
#include <openssl/sha.h>

#include <functional>

#include "KeygenSupport.h"

using namespace kgtest;

namespace {

struct Refusal {
    const char* name;
    std::function<void(Template& pub, Template& priv)> change;
    CK_RV expected;
    const char* logLine;  // error line the refusal writes
};

}  // namespace

TEST(GenerateKeyPair, ArgumentsSessionStateAndMechanismAreChecked) {
    CK_SLOT_ID slot = FreshCard("kg-args", 2);
    CK_SESSION_HANDLE readOnly = vctest::OpenSession(slot, false);
    CK_SESSION_HANDLE readWrite = vctest::OpenSession(slot, true);
    Template pub = PublicTemplate(1024, false, true), priv = PrivateTemplate(false, true);
    CK_MECHANISM mechanism = {CKM_RSA_PKCS_KEY_PAIR_GEN, nullptr, 0}, wrong = {CKM_RSA_PKCS, nullptr, 0};
    CK_OBJECT_HANDLE a = 0;
    EXPECT_EQ(P11()->C_GenerateKeyPair(readWrite, &mechanism, pub.Get(), pub.Count(), priv.Get(), priv.Count(), &a,
                                       nullptr),
              CKR_ARGUMENTS_BAD);
    EXPECT_EQ(P11()->C_GenerateKeyPair(readWrite, &wrong, pub.Get(), pub.Count(), priv.Get(), priv.Count(), &a, &a),
              CKR_MECHANISM_INVALID);
    EXPECT_EQ(Generate(0xBADBAD, pub, priv), CKR_SESSION_HANDLE_INVALID);
    EXPECT_EQ(Generate(readWrite, pub, priv), CKR_USER_NOT_LOGGED_IN);
    EXPECT_EQ(Generate(readOnly, pub, priv), CKR_SESSION_READ_ONLY);
    ASSERT_EQ(P11()->C_Login(readWrite, CKU_USER, (CK_UTF8CHAR_PTR)kUserPin, 4), CKR_OK);
    EXPECT_EQ(Generate(readOnly, pub, priv), CKR_SESSION_READ_ONLY);
    EXPECT_EQ(Containers("kg-args"), 0u);
    P11()->C_CloseAllSessions(slot);
}

TEST(GenerateKeyPair, TemplateErrorsAreRefusedWithTheirLineAndLeaveTheCardAlone) {
    CK_SLOT_ID slot = FreshCard("kg-refusals", 2);
    CK_SESSION_HANDLE session = UserSession(slot);
    const unsigned char longExponent[] = {0, 1, 0, 1};
    const std::vector<Refusal> refusals = {
        {"private template without CKA_TOKEN",
         [](Template&, Template& q) { q = Template().Ulong(CKA_CLASS, CKO_PRIVATE_KEY).Bool(CKA_SIGN, true); },
         CKR_TEMPLATE_INCONSISTENT, "Generovani session klicu neni podporovano."},
        {"public class", [](Template& p, Template&) { p.Ulong(CKA_CLASS, CKO_PRIVATE_KEY); },
         CKR_TEMPLATE_INCONSISTENT, "chybna trida objektu pro verejny klic (musi byt CKO_PUBLIC_KEY)"},
        {"public key type", [](Template& p, Template&) { p.Ulong(CKA_KEY_TYPE, CKK_DSA); },
         CKR_TEMPLATE_INCONSISTENT, "chybny typ verejneho klice - musi byt CKK_RSA"},
        {"4096 bits", [](Template& p, Template&) { p.Ulong(CKA_MODULUS_BITS, 4096); }, CKR_TEMPLATE_INCONSISTENT,
         "nepodporovana velikost klice - musi byt 1024 nebo 2048 bitu"},
        {"exponent with a leading zero",
         [&](Template& p, Template&) { p.Raw(CKA_PUBLIC_EXPONENT, longExponent, 4); }, CKR_TEMPLATE_INCONSISTENT,
         "nepodporovany exponent verejneho klice - musi byt 0x10001"},
        {"private class", [](Template&, Template& q) { q.Ulong(CKA_CLASS, CKO_SECRET_KEY); },
         CKR_TEMPLATE_INCONSISTENT, "chybna trida objektu pro privani klic"},
        {"private CKA_TOKEN false", [](Template&, Template& q) { q.Bool(CKA_TOKEN, false); },
         CKR_TEMPLATE_INCONSISTENT, "TOKEN atribut privatniho klice nesmi byt FALSE"},
        {"private CKA_PRIVATE false", [](Template&, Template& q) { q.Bool(CKA_PRIVATE, false); },
         CKR_TEMPLATE_INCONSISTENT, "PRIVATE atribut privatniho klice nesmi byt FALSE"},
        {"private key type", [](Template&, Template& q) { q.Ulong(CKA_KEY_TYPE, CKK_EC); },
         CKR_TEMPLATE_INCONSISTENT, "chybny typ privatniho klice - musi byt CKK_RSA"},
        {"CKA_ESIGN with CKA_ENCRYPT",
         [](Template& p, Template&) { p.Bool(CKA_ESIGN, true).Bool(CKA_ENCRYPT, true); },
         CKR_TEMPLATE_INCONSISTENT, "atribut CKA_ESIGN nelze kombinovat s atributy CKA_ENCRYPT nebo CKA_DECRYPT"},
        {"CKA_ESIGN with CKA_ORVOAPP",
         [](Template&, Template& q) { q.Bool(CKA_ESIGN, true).Bool(CKA_ORVOAPP, true); },
         CKR_TEMPLATE_INCONSISTENT, "atribut CKA_ESIGN nelze kombinovat s atributem CKA_ORVOAPP"},
        {"CKA_VERIFY without CKA_SIGN", [](Template&, Template& q) { q = PrivateTemplate(false, false); },
         CKR_TEMPLATE_INCONSISTENT, "nepodporovana kombinace typu klicu"},
    };
    for (const Refusal& refusal : refusals) {
        SCOPED_TRACE(refusal.name);
        Template pub = PublicTemplate(1024, false, true), priv = PrivateTemplate(false, true);
        refusal.change(pub, priv);
        TestEnv::Get().ClearLog();
        CK_OBJECT_HANDLE a = 7, b = 7;
        EXPECT_EQ(Generate(session, pub, priv, &a, &b), refusal.expected);
        EXPECT_EQ(a, 7u);  // output handles are written on success only
        EXPECT_EQ(b, 7u);
        std::string log = TestEnv::Get().ReadLog();
        EXPECT_NE(log.find(refusal.logLine), std::string::npos) << log;
        EXPECT_NE(log.find("sablona privatniho klice"), std::string::npos);
        EXPECT_EQ(log.find("PrepareKeyPair"), std::string::npos) << "no key made for a refused template";
    }
    EXPECT_EQ(Containers("kg-refusals"), 0u);
    P11()->C_CloseAllSessions(slot);
}

// The key is made before the card is written; a card that then cannot take it keeps no
// container of the failed generation.
TEST(GenerateKeyPair, CardTooSmallForTheKeyKeepsNoContainer) {
    CK_SLOT_ID slot = FreshCard("kg-small", 2, "--memory 760");
    CK_SESSION_HANDLE session = UserSession(slot);
    Template pub = PublicTemplate(1024, false, true), priv = PrivateTemplate(false, true);
    TestEnv::Get().ClearLog();
    EXPECT_EQ(Generate(session, pub, priv), CKR_FUNCTION_FAILED);
    std::string log = TestEnv::Get().ReadLog();
    EXPECT_NE(log.find("C_GenerateKeyPair():GenerateKeyPair(): chyba 0x78"), std::string::npos) << log;
    EXPECT_EQ(Containers("kg-small"), 0u);
    EXPECT_NE(Dump("kg-small").find("memory: 760 total, 760 free"), std::string::npos);
    P11()->C_CloseAllSessions(slot);
}

// Usage on an ordinary card: the kind of key, and the size, label and ID it gets.
TEST(GenerateKeyPair, KeyKindsSizesLabelsAndIdsOnAnOrdinaryCard) {
    CK_SLOT_ID slot = FreshCard("kg-kinds", 3);
    CK_SESSION_HANDLE session = UserSession(slot);
    CK_OBJECT_HANDLE pubKey = 0, privKey = 0;

    // pkcs11-tool's default usage: a decryption key that signs too; 1024 bits without
    // CKA_MODULUS_BITS; a public template without CKA_TOKEN only gets a warning.
    Template pub;
    pub.Ulong(CKA_CLASS, CKO_PUBLIC_KEY).Bool(CKA_ENCRYPT, true).Bool(CKA_VERIFY, true).Text(CKA_LABEL, "both");
    Template priv = PrivateTemplate(true, true);
    priv.Text(CKA_LABEL, std::string(81, 'x')).Text(CKA_ID, std::string(33, 'i'));
    TestEnv::Get().ClearLog();
    ASSERT_EQ(Generate(session, pub, priv, &pubKey, &privKey), CKR_OK);
    std::string log = TestEnv::Get().ReadLog();
    EXPECT_NE(log.find("neni definovan atribut CKA_TOKEN v sablone public klice"), std::string::npos);
    EXPECT_NE(log.find("prilis dlouhy CKA_LABEL, nebude ulozen"), std::string::npos);
    EXPECT_NE(log.find("prilis dlouhe CKA_ID, nebude ulozeno"), std::string::npos);
    EXPECT_NE(log.find("    hPrivateKey: 0x"), std::string::npos);
    EXPECT_NE(log.find("    hPublicKey:  0x"), std::string::npos);
    EXPECT_EQ(vctest::Attribute(session, pubKey, CKA_MODULUS).size(), 128u);
    EXPECT_TRUE(BoolAttribute(session, privKey, CKA_DECRYPT));
    EXPECT_TRUE(BoolAttribute(session, privKey, CKA_SIGN));
    EXPECT_TRUE(BoolAttribute(session, privKey, CKA_TOKEN));
    EXPECT_TRUE(BoolAttribute(session, pubKey, CKA_TOKEN));
    EXPECT_EQ(TextAttribute(session, privKey, CKA_LABEL), "both");  // the too-long one left the public label

    struct Kind {
        const char* name;
        Template pub, priv;
        bool decrypt, sign;
    };
    std::vector<Kind> kinds;
    {
        Template p = PublicTemplate(2048, false, false);
        p.Bool(CKA_ESIGN, true);
        kinds.push_back({"CKA_ESIGN public, CKA_DECRYPT private: encryption key", p, PrivateTemplate(true, false),
                         true, false});
    }
    {
        Template p = PublicTemplate(1024, false, true);
        p.Bool(CKA_ESIGN, true);
        kinds.push_back({"CKA_ESIGN in one template: signature key", p, PrivateTemplate(false, true), false, true});
    }
    {
        Template p = PublicTemplate(1024, false, true), q = PrivateTemplate(false, true);
        p.Bool(CKA_ESIGN, true);
        q.Bool(CKA_ESIGN, true).Text(CKA_LABEL, std::string(80, 'L')).Text(CKA_ID, "\x01\x02");
        kinds.push_back({"CKA_ESIGN in both on a type-3 card: signature key with an 80-byte label", p, q, false,
                         true});
    }
    for (Kind& kind : kinds) {
        SCOPED_TRACE(kind.name);
        ASSERT_EQ(Generate(session, kind.pub, kind.priv, &pubKey, &privKey), CKR_OK);
        EXPECT_EQ(BoolAttribute(session, privKey, CKA_DECRYPT), kind.decrypt);
        EXPECT_EQ(BoolAttribute(session, pubKey, CKA_ENCRYPT), kind.decrypt);
        EXPECT_EQ(BoolAttribute(session, privKey, CKA_SIGN), kind.sign);
        EXPECT_FALSE(BoolAttribute(session, privKey, CKA_ESIGN));  // no e-signature keys outside type 4
    }
    EXPECT_EQ(vctest::Attribute(session, pubKey, CKA_ID), (Bytes{1, 2}));
    EXPECT_EQ(TextAttribute(session, privKey, CKA_LABEL), std::string(80, 'L'));
    EXPECT_EQ(Containers("kg-kinds"), 4u);
    P11()->C_CloseAllSessions(slot);
}

// Type-4 cards: a signature key is an e-signature or an application key, chosen by the
// templates or else by the key-type dialog (answered here through the environment, the
// configured SignatureKeyType being 0); e-signature places run out.
TEST(GenerateKeyPair, Type4CardMakesEsignatureAndApplicationKeys) {
    CK_SLOT_ID slot = FreshCard("kg-type4", 4, "--esign-places 1");
    CK_SESSION_HANDLE session = UserSession(slot);
    CK_OBJECT_HANDLE pubKey = 0, privKey = 0;
    auto signTemplates = [](Template* p, Template* q) {
        *p = PublicTemplate(1024, false, true);
        *q = PrivateTemplate(false, true);
    };
    Template pub, priv;

    {
        DialogAnswer none(nullptr);
        signTemplates(&pub, &priv);
        TestEnv::Get().ClearLog();
        EXPECT_EQ(Generate(session, pub, priv), CKR_FUNCTION_CANCELED);
        EXPECT_NE(TestEnv::Get().ReadLog().find("Csp::CspSelectKeyTypeUI(): key type selection cancelled"),
                  std::string::npos);
        EXPECT_EQ(Containers("kg-type4"), 0u);
    }
    {
        DialogAnswer application("application");
        signTemplates(&pub, &priv);
        ASSERT_EQ(Generate(session, pub, priv, &pubKey, &privKey), CKR_OK);
        EXPECT_FALSE(BoolAttribute(session, privKey, CKA_ESIGN));
        EXPECT_NE(Dump("kg-type4").find("usage=sign,app"), std::string::npos) << Dump("kg-type4");
    }
    CK_OBJECT_HANDLE esignKey = 0;
    {
        DialogAnswer esign("esign");
        signTemplates(&pub, &priv);
        ASSERT_EQ(Generate(session, pub, priv, &pubKey, &esignKey), CKR_OK);
        EXPECT_TRUE(BoolAttribute(session, esignKey, CKA_ESIGN));
        EXPECT_TRUE(BoolAttribute(session, esignKey, CKA_ALWAYS_AUTHENTICATE));
        EXPECT_NE(Dump("kg-type4").find("e-signature places: 1/1 used"), std::string::npos);
    }
    {
        // The one place is taken: no key, no container left behind, and the dialog that says so.
        DialogAnswer esign("esign");
        signTemplates(&pub, &priv);
        TestEnv::Get().ClearLog();
        EXPECT_EQ(Generate(session, pub, priv), CKR_DEVICE_MEMORY);
        std::string log = TestEnv::Get().ReadLog();
        EXPECT_NE(log.find("Csp::CspNoFreeEsignSlotUI(): no free place for an e-signature key on the card in reader "
                           "\"kg-type4\""),
                  std::string::npos)
            << log;
        EXPECT_LT(log.find("C_GenerateKeyPair():PrepareKeyPair(): chyba 0x80"), log.find("Csp::CspNoFreeEsignSlotUI"));
        EXPECT_EQ(Containers("kg-type4"), 2u);
    }
    // Asked for by both templates, the kinds need no dialog; the place of a destroyed
    // e-signature key is free again.
    ASSERT_EQ(P11()->C_DestroyObject(session, esignKey), CKR_OK);
    {
        DialogAnswer none(nullptr);
        signTemplates(&pub, &priv);
        pub.Bool(CKA_ORVOAPP, true);
        priv.Bool(CKA_ORVOAPP, true);
        ASSERT_EQ(Generate(session, pub, priv, &pubKey, &privKey), CKR_OK);
        EXPECT_FALSE(BoolAttribute(session, privKey, CKA_ESIGN));
        signTemplates(&pub, &priv);
        pub.Bool(CKA_ESIGN, true);
        priv.Bool(CKA_ESIGN, true);
        TestEnv::Get().ClearLog();
        ASSERT_EQ(Generate(session, pub, priv, &pubKey, &privKey), CKR_OK);
        EXPECT_TRUE(BoolAttribute(session, privKey, CKA_ESIGN));
        EXPECT_EQ(TestEnv::Get().ReadLog().find("CspSelectKeyTypeUI"), std::string::npos);
    }
    P11()->C_CloseAllSessions(slot);
}

// After the slot's sessions are gone the list is read from the card again: the key is
// there, made on the card (CKA_LOCAL, a proof by the card's attestation key) and signs.
TEST(GenerateKeyPair, GeneratedKeyIsReadBackLocalWithProofAndSigns) {
    CK_SLOT_ID slot = FreshCard("kg-proof", 2);
    CK_SESSION_HANDLE session = UserSession(slot);
    Template pub = PublicTemplate(2048, false, true), priv = PrivateTemplate(false, true);
    const std::string id = "\x01";
    pub.Text(CKA_ID, id).Text(CKA_LABEL, "k");
    priv.Text(CKA_ID, id).Text(CKA_LABEL, "k");
    CK_OBJECT_HANDLE generatedPublic = 0;
    ASSERT_EQ(Generate(session, pub, priv, &generatedPublic), CKR_OK);
    // The list is filled from the card after the generation added the pair: once each.
    EXPECT_EQ(vctest::OneObject(session, CKO_PUBLIC_KEY, Bytes{1}), generatedPublic);
    ASSERT_EQ(P11()->C_CloseAllSessions(slot), CKR_OK);

    session = UserSession(slot);
    CK_OBJECT_HANDLE pubKey = vctest::OneObject(session, CKO_PUBLIC_KEY, Bytes{1});
    CK_OBJECT_HANDLE privKey = vctest::OneObject(session, CKO_PRIVATE_KEY, Bytes{1});
    ASSERT_NE(pubKey, 0u);
    ASSERT_NE(privKey, 0u);
    EXPECT_EQ(TextAttribute(session, privKey, CKA_LABEL), "k");
    EXPECT_TRUE(BoolAttribute(session, pubKey, CKA_LOCAL));
    EXPECT_TRUE(BoolAttribute(session, privKey, CKA_LOCAL));
    EXPECT_TRUE(BoolAttribute(session, privKey, CKA_NEVER_EXTRACTABLE));
    Bytes modulus = vctest::Attribute(session, pubKey, CKA_MODULUS);
    Bytes exponent = vctest::Attribute(session, pubKey, CKA_PUBLIC_EXPONENT);
    EXPECT_EQ(modulus.size(), 256u);
    Bytes proof = vctest::Attribute(session, privKey, CKA_VELLUMCREST_PROOF);
    Bytes attestation = vctest::AttestationKey("@kg-proof");
    EXPECT_TRUE(vctest::VerifiesWith(attestation, vctest::RsaKeyInfo(modulus, exponent), proof));

    // A SHA-256 DigestInfo signed on the card verifies with OpenSSL.
    const unsigned char prefix[] = {0x30, 0x31, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01,
                                    0x65, 0x03, 0x04, 0x02, 0x01, 0x05, 0x00, 0x04, 0x20};
    Bytes digestInfo(prefix, prefix + sizeof prefix);
    unsigned char digest[32];
    SHA256(reinterpret_cast<const unsigned char*>("generated"), 9, digest);
    digestInfo.insert(digestInfo.end(), digest, digest + 32);
    CK_MECHANISM mechanism = {CKM_RSA_PKCS, nullptr, 0};
    ASSERT_EQ(P11()->C_SignInit(session, &mechanism, privKey), CKR_OK);
    Bytes signature(256);
    CK_ULONG length = signature.size();
    ASSERT_EQ(P11()->C_Sign(session, digestInfo.data(), digestInfo.size(), signature.data(), &length), CKR_OK);
    EVP_PKEY* key = vctest::RsaPublicKey(modulus, exponent);
    EVP_PKEY_CTX* context = EVP_PKEY_CTX_new(key, nullptr);
    ASSERT_NE(context, nullptr);
    ASSERT_EQ(EVP_PKEY_verify_init(context), 1);
    EXPECT_EQ(EVP_PKEY_verify(context, signature.data(), length, digestInfo.data(), digestInfo.size()), 1);
    EVP_PKEY_CTX_free(context);
    EVP_PKEY_free(key);
    P11()->C_CloseAllSessions(slot);
}
