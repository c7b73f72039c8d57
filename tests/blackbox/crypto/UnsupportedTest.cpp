// Functions that only answer CKR_FUNCTION_NOT_SUPPORTED, and the log's secrecy.
#include <openssl/pem.h>

#include <cstdio>
#include <functional>

#include "CryptoTestUtil.h"

namespace cryptotest {
namespace {

struct Unsupported {
    const char* name;
    std::function<CK_RV(CK_SESSION_HANDLE)> call;
};

// Each function with null or zero arguments after the session handle.
constexpr std::nullptr_t null = nullptr;
#define VC_UNSUPPORTED(fn, ...) {#fn, [f](CK_SESSION_HANDLE s) { return f->fn(s, ##__VA_ARGS__); }}
std::vector<Unsupported> AllUnsupported() {
    CK_FUNCTION_LIST_PTR f = P11();
    return {
        VC_UNSUPPORTED(C_CancelFunction), VC_UNSUPPORTED(C_GetFunctionStatus),
        VC_UNSUPPORTED(C_GetOperationState, null, null), VC_UNSUPPORTED(C_SetOperationState, null, 0, 0, 0),
        VC_UNSUPPORTED(C_GenerateKey, null, null, 0, null), VC_UNSUPPORTED(C_WrapKey, null, 0, 0, null, null),
        VC_UNSUPPORTED(C_UnwrapKey, null, 0, null, 0, null, 0, null),
        VC_UNSUPPORTED(C_DeriveKey, null, 0, null, 0, null), VC_UNSUPPORTED(C_SeedRandom, null, 0),
        VC_UNSUPPORTED(C_GenerateRandom, null, 16), VC_UNSUPPORTED(C_SignUpdate, null, 0),
        VC_UNSUPPORTED(C_SignFinal, null, null), VC_UNSUPPORTED(C_SignRecoverInit, null, 0),
        VC_UNSUPPORTED(C_SignRecover, null, 0, null, null), VC_UNSUPPORTED(C_VerifyUpdate, null, 0),
        VC_UNSUPPORTED(C_VerifyFinal, null, 0), VC_UNSUPPORTED(C_VerifyRecoverInit, null, 0),
        VC_UNSUPPORTED(C_VerifyRecover, null, 0, null, null), VC_UNSUPPORTED(C_EncryptUpdate, null, 0, null, null),
        VC_UNSUPPORTED(C_EncryptFinal, null, null), VC_UNSUPPORTED(C_DecryptUpdate, null, 0, null, null),
        VC_UNSUPPORTED(C_DecryptFinal, null, null), VC_UNSUPPORTED(C_DigestEncryptUpdate, null, 0, null, null),
        VC_UNSUPPORTED(C_DecryptDigestUpdate, null, 0, null, null),
        VC_UNSUPPORTED(C_SignEncryptUpdate, null, 0, null, null),
        VC_UNSUPPORTED(C_DecryptVerifyUpdate, null, 0, null, null),
    };
}
#undef VC_UNSUPPORTED

// Before C_Initialize, on a live session and on an unknown handle, with null arguments.
TEST(UnsupportedFunctions, AnswerNotSupportedInEveryState) {
    P11()->C_Finalize(nullptr);
    vctest::TestEnv& env = vctest::TestEnv::Get();
    env.ClearLog();
    std::vector<Unsupported> all = AllUnsupported();
    ASSERT_EQ(all.size(), 26u);
    for (const Unsupported& u : all) EXPECT_EQ(u.call(0), CKR_FUNCTION_NOT_SUPPORTED) << u.name;
    std::string log = env.ReadLog();
    for (const Unsupported& u : all)
        EXPECT_NE(log.find(std::string("Pkcs11Provider::") + u.name + "() => CKR_FUNCTION_NOT_SUPPORTED"),
                  std::string::npos)
            << u.name;
    EXPECT_NE(log.find("Pkcs11Provider::C_GenerateRandom(0x0, (nil), 16)"), std::string::npos);

    EnsureInitialised();
    EnsureCards();
    CK_SESSION_HANDLE session = vctest::OpenSession(vctest::FirstTokenSlot(), true);
    for (const Unsupported& u : all) {
        EXPECT_EQ(u.call(session), CKR_FUNCTION_NOT_SUPPORTED) << u.name;
        EXPECT_EQ(u.call(0xFFFF), CKR_FUNCTION_NOT_SUPPORTED) << u.name;
    }
    EXPECT_EQ(P11()->C_CloseSession(session), CKR_OK);
}

// Neither the PIN nor any byte string of the private key may reach the log, even at
// debug level, while every operation of the card runs.
class LogSecrecyTest : public CryptoTest {};

std::string Upper(std::string text) {
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

std::string Spaced(const std::string& hex) {
    std::string out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) {
        if (!out.empty()) out += ' ';
        out += hex.substr(i, 2);
    }
    return out;
}

Bytes BigNumParam(EVP_PKEY* key, const char* name) {
    BIGNUM* bn = nullptr;
    EVP_PKEY_get_bn_param(key, name, &bn);
    Bytes out(BN_num_bytes(bn));
    BN_bn2bin(bn, out.data());
    BN_free(bn);
    return out;
}

TEST_F(LogSecrecyTest, NoPinOrPrivateKeyBytesInTheDebugLog) {
    vctest::TestEnv& env = vctest::TestEnv::Get();
    // An imported key whose private parts the test knows.
    EVP_PKEY* key = EVP_RSA_gen(2048);
    ASSERT_NE(key, nullptr);
    std::string pem = env.Path("imported.pem");
    FILE* file = std::fopen(pem.c_str(), "w");
    ASSERT_NE(file, nullptr);
    PEM_write_PrivateKey(file, key, nullptr, nullptr, 0, nullptr, nullptr);
    std::fclose(file);
    env.ToolOk("key-import @R1 --pem '" + pem + "' --id c3 --label imported --usage sign,decrypt");
    std::vector<Bytes> secrets = {BigNumParam(key, OSSL_PKEY_PARAM_RSA_D),
                                  BigNumParam(key, OSSL_PKEY_PARAM_RSA_FACTOR1),
                                  BigNumParam(key, OSSL_PKEY_PARAM_RSA_FACTOR2),
                                  BigNumParam(key, OSSL_PKEY_PARAM_RSA_EXPONENT1),
                                  BigNumParam(key, OSSL_PKEY_PARAM_RSA_EXPONENT2),
                                  BigNumParam(key, OSSL_PKEY_PARAM_RSA_COEFFICIENT1)};
    EVP_PKEY_free(key);

    // The card was changed behind the module's back: start over on the slot.
    P11()->C_CloseAllSessions(slot1_);
    env.ClearLog();
    CK_SESSION_HANDLE session = UserSession(slot1_);
    CK_OBJECT_HANDLE privateKey = FindKey(session, CKO_PRIVATE_KEY, "c3");
    CK_OBJECT_HANDLE publicKey = FindKey(session, CKO_PUBLIC_KEY, "c3");
    ASSERT_NE(privateKey, 0u);
    CK_MECHANISM rsa = {CKM_RSA_PKCS, nullptr, 0};
    Bytes info = Sha256DigestInfo(Text("secret-free log")), signature(256), cipher(256), plain(256);
    CK_ULONG length = 256;
    ASSERT_EQ(P11()->C_SignInit(session, &rsa, privateKey), CKR_OK);
    ASSERT_EQ(P11()->C_Sign(session, info.data(), info.size(), signature.data(), &length), CKR_OK);
    length = 256;
    ASSERT_EQ(P11()->C_EncryptInit(session, &rsa, publicKey), CKR_OK);
    ASSERT_EQ(P11()->C_Encrypt(session, info.data(), info.size(), cipher.data(), &length), CKR_OK);
    length = 256;
    ASSERT_EQ(P11()->C_DecryptInit(session, &rsa, privateKey), CKR_OK);
    ASSERT_EQ(P11()->C_Decrypt(session, cipher.data(), cipher.size(), plain.data(), &length), CKR_OK);
    ASSERT_EQ(P11()->C_Logout(session), CKR_OK);

    std::string log = env.ReadLog();
    ASSERT_NE(log.find("Pkcs11Provider::C_Sign() => CKR_OK"), std::string::npos) << "log level 4 expected";
    EXPECT_EQ(log.find(kUserPin), std::string::npos);
    std::string pinHex = HexOf(Text(kUserPin));
    for (const std::string& form : {pinHex, Upper(pinHex), Spaced(pinHex), Upper(Spaced(pinHex))})
        EXPECT_EQ(log.find(form), std::string::npos) << "PIN as " << form;
    for (const Bytes& secret : secrets) {
        // Each 16-byte piece of the value, in the forms a dump may take.
        for (size_t at = 0; at + 16 <= secret.size(); at += 16) {
            Bytes piece(secret.begin() + at, secret.begin() + at + 16);
            std::string hex = HexOf(piece);
            for (const std::string& form : {hex, Upper(hex), Spaced(hex), Upper(Spaced(hex))})
                ASSERT_EQ(log.find(form), std::string::npos) << "private key bytes as " << form;
            ASSERT_EQ(log.find(std::string(piece.begin(), piece.end())), std::string::npos);
        }
    }
}

}  // namespace
}  // namespace cryptotest
