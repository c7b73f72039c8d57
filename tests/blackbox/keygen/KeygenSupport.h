// Helpers of the key generation and destruction suites: a fresh card per test, the two
// templates of a generation, and what the card tool's dump says about the card.
#pragma once

#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/CardKeys.h"

namespace kgtest {

using vctest::Bytes;
using vctest::TestEnv;

constexpr const char* kUserPin = "1234";
constexpr const char* kSoPin = "12345678";

inline CK_FUNCTION_LIST_PTR P11() { return TestEnv::Get().P11(); }

// A template whose values live as long as it does.
class Template {
public:
    Template& Ulong(CK_ATTRIBUTE_TYPE type, CK_ULONG value) {
        return Raw(type, reinterpret_cast<const unsigned char*>(&value), sizeof value);
    }
    Template& Bool(CK_ATTRIBUTE_TYPE type, bool value) {
        CK_BBOOL b = value ? CK_TRUE : CK_FALSE;
        return Raw(type, &b, 1);
    }
    Template& Text(CK_ATTRIBUTE_TYPE type, const std::string& text) {
        return Raw(type, reinterpret_cast<const unsigned char*>(text.data()), text.size());
    }
    Template& Raw(CK_ATTRIBUTE_TYPE type, const unsigned char* value, size_t length) {
        entries_.push_back({type, Bytes(value, value + length)});
        return *this;
    }
    CK_ATTRIBUTE* Get() {
        attributes_.clear();
        for (auto& entry : entries_)
            attributes_.push_back({entry.type, entry.value.empty() ? nullptr : entry.value.data(), entry.value.size()});
        return attributes_.empty() ? reinterpret_cast<CK_ATTRIBUTE*>(&empty_) : attributes_.data();
    }
    CK_ULONG Count() const { return entries_.size(); }

private:
    struct Entry {
        CK_ATTRIBUTE_TYPE type;
        Bytes value;
    };
    std::vector<Entry> entries_;
    std::vector<CK_ATTRIBUTE> attributes_;
    CK_ATTRIBUTE empty_ = {};
};

// The templates of a token key pair for the given usage of pkcs11-tool's kind.
inline Template PublicTemplate(CK_ULONG bits, bool encrypt, bool verify) {
    Template t;
    t.Ulong(CKA_CLASS, CKO_PUBLIC_KEY).Bool(CKA_TOKEN, true).Ulong(CKA_MODULUS_BITS, bits);
    const unsigned char exponent[] = {1, 0, 1};
    t.Raw(CKA_PUBLIC_EXPONENT, exponent, 3);
    if (encrypt) t.Bool(CKA_ENCRYPT, true);
    if (verify) t.Bool(CKA_VERIFY, true);
    return t;
}

inline Template PrivateTemplate(bool decrypt, bool sign) {
    Template t;
    t.Ulong(CKA_CLASS, CKO_PRIVATE_KEY).Bool(CKA_TOKEN, true).Bool(CKA_PRIVATE, true).Bool(CKA_SENSITIVE, true);
    if (decrypt) t.Bool(CKA_DECRYPT, true);
    if (sign) t.Bool(CKA_SIGN, true);
    return t;
}

inline CK_RV Generate(CK_SESSION_HANDLE session, Template& pub, Template& priv, CK_OBJECT_HANDLE* hPublic = nullptr,
                      CK_OBJECT_HANDLE* hPrivate = nullptr) {
    CK_MECHANISM mechanism = {CKM_RSA_PKCS_KEY_PAIR_GEN, nullptr, 0};
    CK_OBJECT_HANDLE a = 0, b = 0;
    return P11()->C_GenerateKeyPair(session, &mechanism, pub.Get(), pub.Count(), priv.Get(), priv.Count(),
                                    hPublic != nullptr ? hPublic : &a, hPrivate != nullptr ? hPrivate : &b);
}

// A reader with a fresh, initialised card of the type; gives the slot.
inline CK_SLOT_ID FreshCard(const std::string& reader, int type, const std::string& extra = "") {
    vctest::InitialiseModule();
    TestEnv::Get().MakeReaderWithCard(reader, type, kUserPin, kSoPin, extra);
    return vctest::SlotOf(reader);
}

// A read-write session with the user logged in.
inline CK_SESSION_HANDLE UserSession(CK_SLOT_ID slot) {
    CK_SESSION_HANDLE session = vctest::OpenSession(slot, true);
    EXPECT_EQ(P11()->C_Login(session, CKU_USER, (CK_UTF8CHAR_PTR)kUserPin, 4), CKR_OK);
    return session;
}

inline std::string Dump(const std::string& reader) { return TestEnv::Get().ToolOk("dump @" + reader); }

inline size_t Count(const std::string& haystack, const std::string& needle) {
    size_t count = 0;
    for (size_t at = haystack.find(needle); at != std::string::npos; at = haystack.find(needle, at + 1)) ++count;
    return count;
}

// Number of key containers on the card.
inline size_t Containers(const std::string& reader) { return Count(Dump(reader), "\ncontainer "); }

inline bool BoolAttribute(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type) {
    Bytes value = vctest::Attribute(session, object, type);
    return value.size() == 1 && value[0] == CK_TRUE;
}

inline std::string TextAttribute(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type) {
    Bytes value = vctest::Attribute(session, object, type);
    return std::string(value.begin(), value.end());
}

// Sets or clears the answer of the key-type dialog for the rest of the scope.
class DialogAnswer {
public:
    explicit DialogAnswer(const char* answer) {
        if (answer != nullptr)
            ::setenv("VELLUMCREST_CSP_KEYTYPE", answer, 1);
        else
            ::unsetenv("VELLUMCREST_CSP_KEYTYPE");
    }
    ~DialogAnswer() { ::unsetenv("VELLUMCREST_CSP_KEYTYPE"); }
};

}  // namespace kgtest
