#include "ImportSupport.h"

#include <dlfcn.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/x509.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include <gtest/gtest.h>

namespace imptest {

using vctest::TestEnv;

namespace {

Pki makePki() {
    Pki pki;
    pki.dir = TestEnv::Get().Path("pki");
    ::mkdir(pki.dir.c_str(), 0755);
    const std::string d = "cd " + vctest::ShellQuote(pki.dir) + " && ";
    const std::string key = "openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:";
    const std::string pkcs8 = "openssl pkcs8 -topk8 -nocrypt -outform DER";
    const std::string issue = "openssl x509 -req -CA ca.pem -CAkey ca.pem -days 30 -outform DER";
    Sh(d + "openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.pem -out ca.crt -days 30 -subj '/CN=Import CA'"
           " -addext basicConstraints=critical,CA:TRUE 2>/dev/null && cat ca.crt >> ca.pem"
           " && openssl x509 -in ca.crt -outform DER -out ca.der");
    Sh(d + key + "2048 -out client.pem 2>/dev/null && " + pkcs8 + " -in client.pem -out client.p8"
           " && openssl req -new -key client.pem -subj '/CN=Import Client' -out client.csr"
           " && " + issue + " -in client.csr -set_serial 11 -out client.der 2>/dev/null"
           " && " + issue + " -in client.csr -set_serial 12 -out second.der 2>/dev/null");
    Sh(d + key + "1024 -out partner.pem 2>/dev/null"
           " && openssl req -new -key partner.pem -subj '/CN=Import Partner' -out partner.csr"
           " && " + issue + " -in partner.csr -set_serial 13 -out partner.der 2>/dev/null");
    Sh(d + key + "1024 -out self.pem 2>/dev/null && " + pkcs8 + " -in self.pem -out self.p8"
           " && openssl req -x509 -key self.pem -subj '/CN=Import Self' -days 30 -outform DER -out self.der"
           " 2>/dev/null");
    Sh(d + key + "1536 -out small.pem 2>/dev/null && " + pkcs8 + " -in small.pem -out small.p8");
    pki.caDer = ReadBytes(pki.dir + "/ca.der");
    pki.clientDer = ReadBytes(pki.dir + "/client.der");
    pki.secondDer = ReadBytes(pki.dir + "/second.der");
    pki.partnerDer = ReadBytes(pki.dir + "/partner.der");
    pki.selfDer = ReadBytes(pki.dir + "/self.der");
    pki.clientKey = pki.dir + "/client.p8";
    pki.selfKey = pki.dir + "/self.p8";
    pki.smallKey = pki.dir + "/small.p8";
    return pki;
}

EVP_PKEY* readKey(const std::string& pkcs8Path) {
    Bytes der = ReadBytes(pkcs8Path);
    const unsigned char* p = der.data();
    return d2i_AutoPrivateKey(nullptr, &p, static_cast<long>(der.size()));
}

Bytes bnParam(EVP_PKEY* key, const char* name) {
    BIGNUM* bn = nullptr;
    Bytes bytes;
    if (EVP_PKEY_get_bn_param(key, name, &bn) == 1) {
        bytes.resize(BN_num_bytes(bn));
        BN_bn2bin(bn, bytes.data());
    }
    BN_clear_free(bn);
    return bytes;
}

}  // namespace

const Pki& GetPki() {
    static const Pki pki = makePki();
    return pki;
}

CK_FUNCTION_LIST_PTR P11() { return TestEnv::Get().P11(); }

CK_SLOT_ID NewCard(const std::string& reader, int type, const std::string& extra) {
    TestEnv::Get().MakeReaderWithCard(reader, type, kUserPin, kSoPin, extra);
    vctest::InitialiseModule();
    return vctest::SlotOf(reader);
}

CK_SESSION_HANDLE Session(CK_SLOT_ID slot, bool rw, bool login) {
    CK_SESSION_HANDLE session = vctest::OpenSession(slot, rw);
    if (login) {
        CK_UTF8CHAR pin[] = {'1', '2', '3', '4'};
        EXPECT_EQ(P11()->C_Login(session, CKU_USER, pin, sizeof pin), CKR_OK);
    }
    return session;
}

std::string Dump(const std::string& reader) { return TestEnv::Get().ToolOk("dump " + vctest::ShellQuote("@" + reader)); }

Bytes ReadBytes(const std::string& path) {
    std::string content = vctest::ReadFile(path);
    return Bytes(content.begin(), content.end());
}

void Sh(const std::string& command) { ASSERT_EQ(std::system(command.c_str()), 0) << command; }

size_t Count(const std::string& haystack, const std::string& needle) {
    size_t count = 0;
    for (size_t at = haystack.find(needle); at != std::string::npos; at = haystack.find(needle, at + 1)) ++count;
    return count;
}

Template& Template::Bytes(CK_ATTRIBUTE_TYPE type, const imptest::Bytes& value) {
    entries_.emplace_back(type, value);
    return *this;
}

CK_ATTRIBUTE* Template::data() {
    attributes_.clear();
    for (auto& entry : entries_)
        attributes_.push_back({entry.first, entry.second.empty() ? nullptr : entry.second.data(), entry.second.size()});
    return attributes_.data();
}

Template& Template::Ulong(CK_ATTRIBUTE_TYPE type, CK_ULONG value) {
    imptest::Bytes bytes(sizeof value);
    std::memcpy(bytes.data(), &value, sizeof value);
    return Bytes(type, bytes);
}

Template& Template::Bool(CK_ATTRIBUTE_TYPE type, bool value) {
    return Bytes(type, imptest::Bytes{static_cast<unsigned char>(value ? CK_TRUE : CK_FALSE)});
}

Template& Template::Text(CK_ATTRIBUTE_TYPE type, const std::string& value) {
    return Bytes(type, imptest::Bytes(value.begin(), value.end()));
}

Template& Template::Without(CK_ATTRIBUTE_TYPE type) {
    std::vector<std::pair<CK_ATTRIBUTE_TYPE, imptest::Bytes>> kept;
    for (auto& entry : entries_)
        if (entry.first != type) kept.push_back(std::move(entry));
    entries_.swap(kept);
    return *this;
}

Template CertificateTemplate(const imptest::Bytes& der) {
    Template tmpl;
    tmpl.Ulong(CKA_CLASS, CKO_CERTIFICATE).Ulong(CKA_CERTIFICATE_TYPE, CKC_X_509).Bool(CKA_TOKEN, true);
    tmpl.Bytes(CKA_VALUE, der);
    return tmpl;
}

Template DataTemplate(const imptest::Bytes& value, const std::string& label) {
    Template tmpl;
    tmpl.Ulong(CKA_CLASS, CKO_DATA).Bool(CKA_TOKEN, true).Bool(CKA_PRIVATE, false).Bytes(CKA_VALUE, value);
    if (!label.empty()) tmpl.Text(CKA_LABEL, label);
    return tmpl;
}

Template KeyTemplate(const std::string& pkcs8Path, bool sign) {
    Template tmpl;
    EVP_PKEY* key = readKey(pkcs8Path);
    EXPECT_NE(key, nullptr) << pkcs8Path;
    tmpl.Ulong(CKA_CLASS, CKO_PRIVATE_KEY).Ulong(CKA_KEY_TYPE, CKK_RSA).Bool(CKA_TOKEN, true);
    tmpl.Bool(CKA_PRIVATE, true).Bool(sign ? CKA_SIGN : CKA_DECRYPT, true);
    const std::pair<CK_ATTRIBUTE_TYPE, const char*> components[] = {
        {CKA_MODULUS, OSSL_PKEY_PARAM_RSA_N},          {CKA_PUBLIC_EXPONENT, OSSL_PKEY_PARAM_RSA_E},
        {CKA_PRIVATE_EXPONENT, OSSL_PKEY_PARAM_RSA_D}, {CKA_PRIME_1, OSSL_PKEY_PARAM_RSA_FACTOR1},
        {CKA_PRIME_2, OSSL_PKEY_PARAM_RSA_FACTOR2},    {CKA_EXPONENT_1, OSSL_PKEY_PARAM_RSA_EXPONENT1},
        {CKA_EXPONENT_2, OSSL_PKEY_PARAM_RSA_EXPONENT2}, {CKA_COEFFICIENT, OSSL_PKEY_PARAM_RSA_COEFFICIENT1},
    };
    if (key != nullptr)
        for (const auto& component : components) tmpl.Bytes(component.first, bnParam(key, component.second));
    EVP_PKEY_free(key);
    return tmpl;
}

CK_RV Create(CK_SESSION_HANDLE session, Template& tmpl, CK_OBJECT_HANDLE* handle) {
    *handle = 0;
    return P11()->C_CreateObject(session, tmpl.data(), tmpl.size(), handle);
}

CK_FUNCTION_LIST_PTR FreshModule() {
    static int copies = 0;
    std::string copy = TestEnv::Get().Path("module-" + std::to_string(::getpid()) + "-" + std::to_string(++copies) +
                                           ".so");
    Sh("cp " + vctest::ShellQuote(VC_MODULE_PATH) + " " + vctest::ShellQuote(copy));
    void* handle = ::dlopen(copy.c_str(), RTLD_NOW | RTLD_LOCAL);
    EXPECT_NE(handle, nullptr) << ::dlerror();
    if (handle == nullptr) return nullptr;
    auto getFunctionList =
        reinterpret_cast<CK_RV (*)(CK_FUNCTION_LIST_PTR_PTR)>(::dlsym(handle, "C_GetFunctionList"));
    CK_FUNCTION_LIST_PTR functions = nullptr;
    EXPECT_TRUE(getFunctionList != nullptr && getFunctionList(&functions) == CKR_OK);
    EXPECT_EQ(functions->C_Initialize(nullptr), CKR_OK);
    return functions;
}

CK_SLOT_ID SlotIn(CK_FUNCTION_LIST_PTR p11, const std::string& reader) { return vctest::SlotOf(reader, p11); }

}  // namespace imptest
