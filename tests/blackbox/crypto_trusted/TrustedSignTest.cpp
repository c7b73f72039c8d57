// A process listed in the trusted-applications file signs with an e-signature key without
// re-authentication. The list is read when the module is loaded, so this test writes it
// and then loads a private copy of the module; the module loaded by the test support
// before the file existed serves as the untrusted control.
#include <dlfcn.h>
#include <unistd.h>

#include <openssl/evp.h>

#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/TestEnv.h"

namespace {

using Bytes = std::vector<unsigned char>;

const char* const kPin = "8642";

std::string SelfPath() {
    char buffer[PATH_MAX];
    ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (n <= 0) return "";
    buffer[n] = '\0';
    return buffer;
}

std::string Sha256Hex(const std::string& content) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(content.data(), content.size(), digest, &length, EVP_sha256(), nullptr);
    return vctest::Hex(digest, length);
}

CK_OBJECT_HANDLE FindPrivateKey(CK_FUNCTION_LIST_PTR p11, CK_SESSION_HANDLE session) {
    CK_OBJECT_CLASS cls = CKO_PRIVATE_KEY;
    CK_ATTRIBUTE tmpl[] = {{CKA_CLASS, &cls, sizeof cls}};
    CK_OBJECT_HANDLE handle = 0;
    CK_ULONG count = 0;
    EXPECT_EQ(p11->C_FindObjectsInit(session, tmpl, 1), CKR_OK);
    EXPECT_EQ(p11->C_FindObjects(session, &handle, 1, &count), CKR_OK);
    EXPECT_EQ(p11->C_FindObjectsFinal(session), CKR_OK);
    return count == 1 ? handle : 0;
}

CK_BBOOL AlwaysAuthenticate(CK_FUNCTION_LIST_PTR p11, CK_SESSION_HANDLE session, CK_OBJECT_HANDLE key) {
    CK_BBOOL value = 0xEE;
    CK_ATTRIBUTE attr = {CKA_ALWAYS_AUTHENTICATE, &value, sizeof value};
    EXPECT_EQ(p11->C_GetAttributeValue(session, key, &attr, 1), CKR_OK);
    return value;
}

CK_RV SignOnce(CK_FUNCTION_LIST_PTR p11, CK_SESSION_HANDLE session, CK_OBJECT_HANDLE key, Bytes* signature) {
    CK_MECHANISM mechanism = {CKM_RSA_PKCS, nullptr, 0};
    EXPECT_EQ(p11->C_SignInit(session, &mechanism, key), CKR_OK);
    Bytes info = vctest::FromHex("3031300d060960864801650304020105000420"
                                 "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    signature->assign(256, 0);
    CK_ULONG length = signature->size();
    CK_RV rv = p11->C_Sign(session, info.data(), info.size(), signature->data(), &length);
    if (rv == CKR_OK) signature->resize(length);
    return rv;
}

CK_SESSION_HANDLE LoggedInSession(CK_FUNCTION_LIST_PTR p11, CK_SLOT_ID slot) {
    CK_SESSION_HANDLE session = 0;
    EXPECT_EQ(p11->C_OpenSession(slot, CKF_SERIAL_SESSION, nullptr, nullptr, &session), CKR_OK);
    EXPECT_EQ(p11->C_Login(session, CKU_USER, reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>(kPin)),
                           std::strlen(kPin)),
              CKR_OK);
    return session;
}

TEST(TrustedProcess, SignsWithAnEsignKeyWithoutReauthentication) {
    vctest::TestEnv& env = vctest::TestEnv::Get();
    std::string card = env.MakeReaderWithCard("Trusted", 4, kPin, "97531864");
    env.ToolOk("key-generate " + card + " --bits 2048 --usage sign,esign");

    std::string self = SelfPath();
    ASSERT_FALSE(self.empty());
    vctest::WriteFile(env.Path("programdata/Orvo Vellumcrest/trustedapps.ocf"),
                      "# test binary\n" + Sha256Hex(vctest::ReadFile(self)) + "  " + self + "\n");
    std::string copy = env.Path("libvellumcrest-trusted.so");
    vctest::WriteFile(copy, vctest::ReadFile(VC_MODULE_PATH));
    void* module = ::dlopen(copy.c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(module, nullptr) << ::dlerror();
    auto getList = reinterpret_cast<CK_RV (*)(CK_FUNCTION_LIST_PTR_PTR)>(::dlsym(module, "C_GetFunctionList"));
    ASSERT_NE(getList, nullptr);
    CK_FUNCTION_LIST_PTR trusted = nullptr;
    ASSERT_EQ(getList(&trusted), CKR_OK);
    ASSERT_NE(trusted, env.P11());
    ASSERT_EQ(trusted->C_Initialize(nullptr), CKR_OK);

    CK_SLOT_ID slot = 0;
    CK_ULONG count = 1;
    ASSERT_EQ(trusted->C_GetSlotList(CK_TRUE, &slot, &count), CKR_OK);
    ASSERT_EQ(count, 1u);
    CK_SESSION_HANDLE session = LoggedInSession(trusted, slot);
    CK_OBJECT_HANDLE key = FindPrivateKey(trusted, session);
    ASSERT_NE(key, 0u);
    EXPECT_EQ(AlwaysAuthenticate(trusted, session, key), CK_FALSE);
    Bytes signature;
    EXPECT_EQ(SignOnce(trusted, session, key, &signature), CKR_OK);
    EXPECT_EQ(signature.size(), 256u);
    EXPECT_EQ(SignOnce(trusted, session, key, &signature), CKR_OK);
    // No re-authentication is pending, so a context-specific login has nothing to unlock.
    CK_MECHANISM mechanism = {CKM_RSA_PKCS, nullptr, 0};
    ASSERT_EQ(trusted->C_SignInit(session, &mechanism, key), CKR_OK);
    EXPECT_EQ(trusted->C_Login(session, CKU_CONTEXT_SPECIFIC,
                               reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>(kPin)), std::strlen(kPin)),
              CKR_OPERATION_NOT_INITIALIZED);
    EXPECT_EQ(trusted->C_CloseAllSessions(slot), CKR_OK);
    EXPECT_EQ(trusted->C_Finalize(nullptr), CKR_OK);

    // The module loaded before the list existed does not trust this process.
    CK_FUNCTION_LIST_PTR untrusted = env.P11();
    ASSERT_EQ(untrusted->C_Initialize(nullptr), CKR_OK);
    count = 1;
    ASSERT_EQ(untrusted->C_GetSlotList(CK_TRUE, &slot, &count), CKR_OK);
    session = LoggedInSession(untrusted, slot);
    key = FindPrivateKey(untrusted, session);
    EXPECT_EQ(AlwaysAuthenticate(untrusted, session, key), CK_TRUE);
    EXPECT_EQ(SignOnce(untrusted, session, key, &signature), CKR_USER_NOT_LOGGED_IN);
    EXPECT_EQ(untrusted->C_CloseAllSessions(slot), CKR_OK);
    // The copy stays loaded until the process ends, as in an application.
}

}  // namespace
