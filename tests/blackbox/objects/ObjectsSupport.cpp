#include "ObjectsSupport.h"

#include <sys/stat.h>

#include <cstdlib>
#include <cstring>

#include <gtest/gtest.h>

namespace objtest {

using vctest::TestEnv;

namespace {

std::string hexOf(const Bytes& bytes) { return vctest::Hex(bytes.data(), bytes.size()); }

Bytes readBytes(const std::string& path) {
    std::string content = vctest::ReadFile(path);
    return Bytes(content.begin(), content.end());
}

MainCard makeMain() {
    MainCard card;
    const TestEnv& env = TestEnv::Get();
    card.dir = env.Path("pki");
    ::mkdir(card.dir.c_str(), 0755);
    const std::string d = vctest::ShellQuote(card.dir);

    // A CA, an end-entity certificate of another party, and a key to import.
    Sh("cd " + d + " && openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 30"
       " -subj '/CN=Objects Test CA' -addext basicConstraints=critical,CA:TRUE 2>/dev/null"
       " && openssl x509 -in ca.pem -outform DER -out ca.der"
       " && openssl req -newkey rsa:1024 -nodes -keyout partner.key -out partner.csr -subj '/CN=Bob Partner'"
       " 2>/dev/null"
       " && openssl x509 -req -in partner.csr -CA ca.pem -CAkey ca.key -set_serial 4660 -days 30"
       " -out partner.pem 2>/dev/null"
       " && openssl x509 -in partner.pem -outform DER -out partner.der"
       " && openssl genrsa -out imported.pem 1024 2>/dev/null"
       " && head -c 300 /dev/urandom > data.bin");
    card.caDer = readBytes(card.dir + "/ca.der");
    card.partnerDer = readBytes(card.dir + "/partner.der");
    card.data = readBytes(card.dir + "/data.bin");

    card.signKeyId = {0xA1, 0xA2, 0xA3, 0xA4};
    card.otherKeyId = {0xC1, 0xC2, 0xC3, 0xC4};
    card.importedKeyId = {0xB1, 0xB2, 0xB3, 0xB4};
    card.rootId = {0x0F, 0x0F};
    card.partnerId = {0x0E, 0x0E};

    card.image = env.MakeReaderWithCard(card.reader, 1, kUserPin, kSoPin);
    const std::string c = vctest::ShellQuote(card.image);
    env.ToolOk("key-generate " + c + " --bits 2048 --label " + vctest::ShellQuote(card.signKeyLabel) + " --id " +
               hexOf(card.signKeyId));
    env.ToolOk("cert-issue " + c + " --id " + hexOf(card.signKeyId) + " --subject '/CN=Alice Client'" +
               " --ca-cert " + vctest::ShellQuote(card.dir + "/ca.pem") + " --ca-key " + vctest::ShellQuote(card.dir + "/ca.key") +
               " --label " + vctest::ShellQuote(card.clientLabel));
    env.ToolOk("cert-add " + c + " --der " + vctest::ShellQuote(card.dir + "/ca.der") + " --kind root --label " +
               vctest::ShellQuote(card.rootLabel) + " --id " + hexOf(card.rootId));
    env.ToolOk("cert-add " + c + " --der " + vctest::ShellQuote(card.dir + "/partner.der") + " --kind partner --id " +
               hexOf(card.partnerId));
    env.ToolOk("key-generate " + c + " --bits 1024 --usage sign --id " + hexOf(card.otherKeyId));
    env.ToolOk("key-import " + c + " --pem " + vctest::ShellQuote(card.dir + "/imported.pem") +
               " --label 'Imported key' --usage decrypt --id " + hexOf(card.importedKeyId));
    env.ToolOk("data-add " + c + " --file " + vctest::ShellQuote(card.dir + "/data.bin") + " --label " + vctest::ShellQuote(card.dataLabel));
    return card;
}

EsignCard makeEsign() {
    EsignCard card;
    card.keyId = {0xE1, 0xE2};
    const TestEnv& env = TestEnv::Get();
    std::string image = env.MakeReaderWithCard(card.reader, 4, kUserPin, kSoPin);
    env.ToolOk("key-generate " + vctest::ShellQuote(image) + " --bits 1024 --usage esign --label 'Esign key' --id " +
               hexOf(card.keyId));
    return card;
}

}  // namespace

CK_FUNCTION_LIST_PTR P11() { return TestEnv::Get().P11(); }

const MainCard& Main() {
    static const MainCard card = makeMain();
    vctest::InitialiseModule();
    return card;
}

const EsignCard& Esign() {
    static const EsignCard card = makeEsign();
    vctest::InitialiseModule();
    return card;
}

void Login(CK_SESSION_HANDLE session) {
    CK_UTF8CHAR pin[] = {'1', '2', '3', '4'};
    ASSERT_EQ(P11()->C_Login(session, CKU_USER, pin, sizeof pin), CKR_OK);
}

void CloseAll(CK_SLOT_ID slot) { EXPECT_EQ(P11()->C_CloseAllSessions(slot), CKR_OK); }

void Sh(const std::string& command) { ASSERT_EQ(std::system(command.c_str()), 0) << command; }

CK_ULONG Ulong(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type) {
    CK_ULONG value = 0xDEADBEEF;
    CK_ATTRIBUTE attribute = {type, &value, sizeof value};
    EXPECT_EQ(P11()->C_GetAttributeValue(session, object, &attribute, 1), CKR_OK) << "attribute 0x" << std::hex
                                                                                  << type;
    EXPECT_EQ(attribute.ulValueLen, sizeof(CK_ULONG));
    return value;
}

bool Bool(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type) {
    CK_BBOOL value = 0x55;
    CK_ATTRIBUTE attribute = {type, &value, sizeof value};
    EXPECT_EQ(P11()->C_GetAttributeValue(session, object, &attribute, 1), CKR_OK) << "attribute 0x" << std::hex
                                                                                  << type;
    EXPECT_EQ(attribute.ulValueLen, 1u);
    EXPECT_TRUE(value == CK_TRUE || value == CK_FALSE) << int(value);
    return value == CK_TRUE;
}

std::vector<CK_OBJECT_HANDLE> Find(CK_SESSION_HANDLE session, std::vector<CK_ATTRIBUTE> tmpl) {
    return vctest::FindAll(session, tmpl.empty() ? nullptr : tmpl.data(), tmpl.size());
}

Bytes UlongBytes(CK_ULONG value) {
    Bytes bytes(sizeof value);
    std::memcpy(bytes.data(), &value, sizeof value);
    return bytes;
}

Bytes Text(const std::string& text) { return Bytes(text.begin(), text.end()); }

size_t Count(const std::string& haystack, const std::string& needle) {
    size_t count = 0;
    for (size_t at = haystack.find(needle); at != std::string::npos; at = haystack.find(needle, at + 1)) ++count;
    return count;
}

}  // namespace objtest
