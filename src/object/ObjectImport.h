// Object creation (C_CreateObject): what the template scan gathers for one call, and the
// import of each object class. Internal to object/.
#pragma once

#include "core/CoreObjects.h"
#include "core/Reader.h"
#include "object/Pkcs11ObjectList.h"
#include "vellumcrest/pkcs11.h"

namespace Vellumcrest {
namespace Pkcs11 {
namespace ObjectImport {

// CKA_ID of any object and CKA_LABEL of cards of types 1 and 2 / 3 and 4.
constexpr unsigned long kMaxIdLength = 32;
constexpr unsigned long kMaxLabelLength = 40;
constexpr unsigned long kMaxLabelLengthLarge = 80;

// The label limit of the card in the slot, asked afresh each time.
inline unsigned long LabelLimit(Core::ReaderCardPair* pair) {
    int type = pair != nullptr ? pair->GetCardType() : 0;
    return type == 3 || type == 4 ? kMaxLabelLengthLarge : kMaxLabelLength;
}

// A card write that failed: 100 is the host's memory, 120 the card's, anything else a failure.
inline CK_RV CardWriteError(int code) {
    if (code == Core::CoreOutOfMemory) return CKR_HOST_MEMORY;
    if (code == Core::CoreCardMemoryFull) return CKR_DEVICE_MEMORY;
    return CKR_FUNCTION_FAILED;
}

// Card work framed by Open and Close; Close runs on every path, also when a throw
// leaves the call.
class OpenCard {
public:
    explicit OpenCard(Core::ReaderCardPair* pair) : pair_(pair), open_(pair->Open() == Core::CoreOk) {}
    ~OpenCard() {
        if (open_) pair_->Close();
    }
    OpenCard(const OpenCard&) = delete;
    OpenCard& operator=(const OpenCard&) = delete;
    bool IsOpen() const { return open_; }

private:
    Core::ReaderCardPair* pair_;
    bool open_;
};

enum class Kind { None, Certificate, DataFile, PrivateKey, Unsupported };

// One C_CreateObject call: the template's class and types, and what the scan kept. The
// kept ID and label point into the caller's template.
struct Request {
    Kind kind = Kind::None;
    bool classGiven = false, certificateTypeGiven = false, keyTypeGiven = false;
    bool valueGiven = false, tokenGiven = false;
    CK_ULONG certificateType = 0;
    CK_ULONG keyType = 0;
    bool typeLengthBad = false;  // a CK_ULONG attribute of another length
    const unsigned char* cardId = nullptr;
    unsigned long cardIdLength = 0;
    const unsigned char* label = nullptr;
    unsigned long labelLength = 0;
    Core::CoreObjectFlags flags = {};
    Core::RsaParam rsa;
    bool componentMissing = false;  // one of the eight RSA components is not in the template
};

// What an import works with; all held by the caller for the whole call.
struct Context {
    Pkcs11ObjectList* list;
    Core::ReaderCardPair* pair;
};

// C1 to C9. *duplicate is set (and *existing to its handle) when the token already holds
// the certificate; nothing is written then.
CK_RV ImportCertificate(const Context& context, const Request& request, Core::Certificate* certificate,
                        CK_OBJECT_HANDLE* existing, bool* duplicate);
// A data file on the card, bound to the (not yet listed) object.
CK_RV ImportDataFile(const Context& context, Request& request, Core::FileStorage* data);
// A key pair in a new container; both keys are added to the list, *phObject is the private key.
CK_RV ImportPrivateKey(const Context& context, const Request& request, CK_OBJECT_HANDLE* phObject);

}  // namespace ObjectImport
}  // namespace Pkcs11
}  // namespace Vellumcrest
