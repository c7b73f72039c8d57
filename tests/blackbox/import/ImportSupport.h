// Helpers of the import and attribute-writing tests: certificates and keys made with
// OpenSSL once per binary, creation templates, fresh cards, and a second, independent
// instance of the module as another application would load it.
#pragma once

#include <string>
#include <vector>

#include "support/CardKeys.h"

namespace imptest {

using Bytes = std::vector<unsigned char>;

constexpr const char* kUserPin = "1234";
constexpr const char* kSoPin = "12345678";

// Files made once: a CA; "client" (key + certificate by the CA), "second" (another
// certificate by the CA for the client key), "partner" (certificate by the CA, key not on
// any card), "self" (self-signed end-entity certificate and its key), "small" (a
// 1536-bit key). Keys are PKCS#8 DER, certificates DER.
struct Pki {
    std::string dir;
    Bytes caDer, clientDer, secondDer, partnerDer, selfDer;
    std::string clientKey, selfKey, smallKey;  // paths of the PKCS#8 DER keys
};
const Pki& GetPki();

CK_FUNCTION_LIST_PTR P11();
// A new reader with a new card (user PIN 1234, SO PIN 12345678); the card's slot in the
// loaded module. extra goes to card-create (e.g. "--memory 900").
CK_SLOT_ID NewCard(const std::string& reader, int type, const std::string& extra = "");
// Session on the slot, logged in as the user unless login is false.
CK_SESSION_HANDLE Session(CK_SLOT_ID slot, bool rw = true, bool login = true);
// vellumcrest-card dump of the reader's card.
std::string Dump(const std::string& reader);
Bytes ReadBytes(const std::string& path);
void Sh(const std::string& command);
size_t Count(const std::string& haystack, const std::string& needle);

// A creation template that owns its values; data() points into it until the next change.
class Template {
public:
    Template& Ulong(CK_ATTRIBUTE_TYPE type, CK_ULONG value);
    Template& Bool(CK_ATTRIBUTE_TYPE type, bool value);
    Template& Bytes(CK_ATTRIBUTE_TYPE type, const imptest::Bytes& value);
    Template& Text(CK_ATTRIBUTE_TYPE type, const std::string& value);
    // Drops every attribute of the type.
    Template& Without(CK_ATTRIBUTE_TYPE type);
    CK_ATTRIBUTE* data();
    CK_ULONG size() const { return entries_.size(); }

private:
    std::vector<std::pair<CK_ATTRIBUTE_TYPE, imptest::Bytes>> entries_;
    std::vector<CK_ATTRIBUTE> attributes_;
};

Template CertificateTemplate(const Bytes& der);
Template DataTemplate(const Bytes& value, const std::string& label);
// A PKCS#8 DER key as an RSA private-key template with CKA_SIGN (or CKA_DECRYPT).
Template KeyTemplate(const std::string& pkcs8Path, bool sign = true);

// C_CreateObject on the loaded module.
CK_RV Create(CK_SESSION_HANDLE session, Template& tmpl, CK_OBJECT_HANDLE* handle);

// A further instance of the module, loaded from a copy of the library, initialised; it
// shares nothing with the loaded module but the readers directory and the configuration.
CK_FUNCTION_LIST_PTR FreshModule();
// Slot of the reader in a module instance.
CK_SLOT_ID SlotIn(CK_FUNCTION_LIST_PTR p11, const std::string& reader);

}  // namespace imptest
