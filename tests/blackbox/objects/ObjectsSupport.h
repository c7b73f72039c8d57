// Cards and helpers shared by the object tests: one card with key pairs, certificates and a
// data file, and one e-signature card, both made once per test binary.
#pragma once

#include <string>
#include <vector>

#include "support/CardKeys.h"

namespace objtest {

using Bytes = std::vector<unsigned char>;

constexpr const char* kUserPin = "1234";
constexpr const char* kSoPin = "12345678";

// Contents of the main card, in the order they were put on it.
struct MainCard {
    std::string reader = "objects-main";
    std::string image;
    Bytes signKeyId;       // generated 2048-bit key pair with the client certificate
    Bytes otherKeyId;      // generated 1024-bit key pair, signing only
    Bytes importedKeyId;   // imported 1024-bit key pair, decryption only
    Bytes rootId;          // CA certificate, stored as root
    Bytes partnerId;       // end-entity certificate of another party
    Bytes caDer;           // DER of the CA certificate
    Bytes partnerDer;      // DER of the partner certificate
    Bytes data;            // content of the data file
    std::string signKeyLabel = "Signing key";
    std::string clientLabel = "Alice cert";
    std::string rootLabel = "Objects Test CA";
    std::string dataLabel = "notes";
    std::string dir;       // working directory with the PEM and DER files
};

struct EsignCard {
    std::string reader = "objects-esign";
    Bytes keyId;
};

// C_Initialize (once), then the cards (once).
const MainCard& Main();
const EsignCard& Esign();

using vctest::SlotOf;

CK_FUNCTION_LIST_PTR P11();
void Login(CK_SESSION_HANDLE session);
void CloseAll(CK_SLOT_ID slot);
// Runs a shell command; fails the test when it fails.
void Sh(const std::string& command);

// Attribute reads (Value() fails the test unless the read gives CKR_OK) and searches.
inline CK_RV Read(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type, Bytes* value) {
    return vctest::ReadAttribute(session, object, type, value);
}
inline Bytes Value(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type) {
    return vctest::Attribute(session, object, type);
}
CK_ULONG Ulong(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type);
bool Bool(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type);
std::vector<CK_OBJECT_HANDLE> Find(CK_SESSION_HANDLE session, std::vector<CK_ATTRIBUTE> tmpl);
// The one object of the class with that ID; fails the test when there is not exactly one.
inline CK_OBJECT_HANDLE One(CK_SESSION_HANDLE session, CK_OBJECT_CLASS cls, const Bytes& id) {
    return vctest::OneObject(session, cls, id);
}

Bytes UlongBytes(CK_ULONG value);
Bytes Text(const std::string& text);
size_t Count(const std::string& haystack, const std::string& needle);

}  // namespace objtest
