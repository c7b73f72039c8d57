// C_CreateObject: the frame every creation runs (session and card checks, the template
// scan, the object flags, adding the new object to the slot's list). The imports of the
// three object classes are in CertificateImport.cpp and DataKeyImport.cpp.
#include <algorithm>
#include <memory>
#include <new>

#include "core/Log.h"
#include "diag/Names.h"
#include "module/Globals.h"
#include "module/Locked.h"
#include "module/Pkcs11Provider.h"
#include "object/ObjectImport.h"
#include "session/CallFrame.h"

namespace Vellumcrest {
namespace Pkcs11 {

using ObjectImport::Kind;
using ObjectImport::Request;

namespace {

const char kMethod[] = "C_CreateObject";

// A CK_BBOOL counts as TRUE only when its byte is exactly 1. False when the attribute
// carries no byte.
bool readBool(const CK_ATTRIBUTE& attribute, bool* value) {
    if (attribute.pValue == nullptr || attribute.ulValueLen == 0) return false;
    *value = *static_cast<const CK_BBOOL*>(attribute.pValue) == CK_TRUE;
    return true;
}

bool readUlong(const CK_ATTRIBUTE& attribute, CK_ULONG* value) {
    if (attribute.pValue == nullptr || attribute.ulValueLen != sizeof(CK_ULONG)) return false;
    *value = *static_cast<const CK_ULONG*>(attribute.pValue);
    return true;
}

Kind kindOfClass(CK_OBJECT_CLASS objectClass) {
    switch (objectClass) {
    case CKO_CERTIFICATE: return Kind::Certificate;
    case CKO_DATA: return Kind::DataFile;
    case CKO_PRIVATE_KEY: return Kind::PrivateKey;
    default: return Kind::Unsupported;
    }
}

// Frame step 8: class (the last one counts), certificate and key type, and which of the
// attributes that the kinds require are present.
void readKind(const CK_ATTRIBUTE* pTemplate, CK_ULONG count, Request* request) {
    int components = 0;
    for (CK_ULONG i = 0; i < count; ++i) {
        const CK_ATTRIBUTE& attribute = pTemplate[i];
        CK_ULONG value = 0;
        switch (attribute.type) {
        case CKA_CLASS:
            request->classGiven = true;
            request->kind = readUlong(attribute, &value) ? kindOfClass(value) : Kind::Unsupported;
            break;
        case CKA_CERTIFICATE_TYPE:
            request->certificateTypeGiven = true;
            if (!readUlong(attribute, &request->certificateType)) request->typeLengthBad = true;
            break;
        case CKA_KEY_TYPE:
            request->keyTypeGiven = true;
            if (!readUlong(attribute, &request->keyType)) request->typeLengthBad = true;
            break;
        case CKA_VALUE:
            request->valueGiven = true;
            break;
        case CKA_TOKEN:
            request->tokenGiven = true;
            break;
        case CKA_MODULUS:
        case CKA_PUBLIC_EXPONENT:
        case CKA_PRIVATE_EXPONENT:
        case CKA_PRIME_1:
        case CKA_PRIME_2:
        case CKA_EXPONENT_1:
        case CKA_EXPONENT_2:
        case CKA_COEFFICIENT:
            components |= 1 << (attribute.type - CKA_MODULUS);
            break;
        default:
            break;
        }
    }
    // CKA_MODULUS (0x120) to CKA_COEFFICIENT (0x128) without CKA_MODULUS_BITS (0x121).
    constexpr int kAllComponents = 0x1FD;
    request->componentMissing = components != kAllComponents;
}

// Frame step 9: the attributes each kind requires, and the empty object.
CK_RV checkKind(const Request& request, std::unique_ptr<Core::CoreObject>* object) {
    switch (request.kind) {
    case Kind::Certificate:
        if (!request.classGiven || !request.certificateTypeGiven || !request.valueGiven || !request.tokenGiven)
            return CKR_TEMPLATE_INCOMPLETE;
        if (request.typeLengthBad || request.certificateType != CKC_X_509) return CKR_ATTRIBUTE_VALUE_INVALID;
        object->reset(new (std::nothrow) Core::Certificate());
        return *object ? CKR_OK : CKR_HOST_MEMORY;
    case Kind::DataFile:
        if (!request.classGiven || !request.tokenGiven || !request.valueGiven) return CKR_TEMPLATE_INCOMPLETE;
        object->reset(new (std::nothrow) Core::FileStorage());
        return *object ? CKR_OK : CKR_HOST_MEMORY;
    case Kind::PrivateKey:
        if (!request.classGiven || !request.keyTypeGiven) return CKR_TEMPLATE_INCOMPLETE;
        if (request.typeLengthBad || request.keyType != CKK_RSA) return CKR_ATTRIBUTE_VALUE_INVALID;
        return request.componentMissing ? CKR_TEMPLATE_INCOMPLETE : CKR_OK;
    default:
        GetPkcs11Log()->Error("Pkcs11Provider::C_CreateObject() - dany typ objektu neni podporovan");
        return CKR_ATTRIBUTE_VALUE_INVALID;
    }
}

// Frame step 10: every field zero except modifiable; private keys are private, every
// other kind extractable.
void initialFlags(Request* request) {
    request->flags = {};
    request->flags.modifiable = CK_TRUE;
    if (request->kind == Kind::PrivateKey)
        request->flags.privateObject = CK_TRUE;
    else
        request->flags.extractable = CK_TRUE;
}

// The RSA components of a private key, by attribute type. A modulus is a number: leading
// zero bytes do not count towards its length.
void setComponent(Core::RsaParam& rsa, const CK_ATTRIBUTE& attribute) {
    auto* value = static_cast<const unsigned char*>(attribute.pValue);
    unsigned long length = attribute.ulValueLen;
    switch (attribute.type) {
    case CKA_MODULUS:
        while (length > 1 && value[0] == 0) {
            ++value;
            --length;
        }
        rsa.SetModulus(value, length);
        break;
    case CKA_PUBLIC_EXPONENT: rsa.SetExponent(value, length); break;
    case CKA_PRIVATE_EXPONENT: rsa.SetD(value, length); break;
    case CKA_PRIME_1: rsa.SetP(value, length); break;
    case CKA_PRIME_2: rsa.SetQ(value, length); break;
    case CKA_EXPONENT_1: rsa.SetDP(value, length); break;
    case CKA_EXPONENT_2: rsa.SetDQ(value, length); break;
    case CKA_COEFFICIENT: rsa.SetInverseQ(value, length); break;
    default: break;
    }
}

// Frame step 11: the attributes of every kind, then those of the request's kind.
CK_RV scanTemplate(const CK_ATTRIBUTE* pTemplate, CK_ULONG count, CK_STATE state, Core::ReaderCardPair* pair,
                   Core::CoreObject* object, Request* request) {
    const bool readOnly = state == CKS_RO_PUBLIC_SESSION || state == CKS_RO_USER_FUNCTIONS;
    const bool user = state == CKS_RO_USER_FUNCTIONS || state == CKS_RW_USER_FUNCTIONS;
    Core::CoreObjectFlags& flags = request->flags;
    for (CK_ULONG i = 0; i < count; ++i) {
        const CK_ATTRIBUTE& attribute = pTemplate[i];
        bool value = false;
        switch (attribute.type) {
        case CKA_TOKEN:
            if (!readBool(attribute, &value)) return CKR_ATTRIBUTE_VALUE_INVALID;
            flags.token = value;
            if (value && readOnly) return CKR_SESSION_READ_ONLY;
            continue;
        case CKA_PRIVATE:
            if (!readBool(attribute, &value)) return CKR_ATTRIBUTE_VALUE_INVALID;
            flags.privateObject = value;
            if (value && !user) return CKR_USER_NOT_LOGGED_IN;
            continue;
        case CKA_LABEL:
            if (attribute.ulValueLen <= ObjectImport::LabelLimit(pair)) {
                request->label = static_cast<const unsigned char*>(attribute.pValue);
                request->labelLength = attribute.ulValueLen;
            } else {
                GetPkcs11Log()->Warning(
                    "Pkcs11Provider::C_CreateObject(): atribut CKA_LABEL atribut nelze ulozit na token ani do pameti "
                    "(prilis dlouhy LABEL nebo nepodporovany typ objektu); vracen bude vypocteny LABEL");
            }
            continue;
        case CKA_ID:
            if (attribute.ulValueLen > ObjectImport::kMaxIdLength) {
                GetPkcs11Log()->Error("Pkcs11Provider::C_CreateObject: prilis dlouhe CKA_ID: %lu bajtu",
                                      attribute.ulValueLen);
                return CKR_ATTRIBUTE_VALUE_INVALID;
            }
            if (request->kind == Kind::Certificate || request->kind == Kind::PrivateKey) {
                request->cardId = static_cast<const unsigned char*>(attribute.pValue);
                request->cardIdLength = attribute.ulValueLen;
            }
            flags.id = {};
            if (attribute.ulValueLen != 0)
                std::copy_n(static_cast<const unsigned char*>(attribute.pValue), attribute.ulValueLen, flags.id.value);
            flags.id.length = static_cast<uint32_t>(attribute.ulValueLen);
            continue;
        case CKA_MODIFIABLE:
            if (!readBool(attribute, &value)) return CKR_ATTRIBUTE_VALUE_INVALID;
            flags.modifiable = value;
            continue;
        default:
            break;
        }
        const auto* bytes = static_cast<const unsigned char*>(attribute.pValue);
        switch (request->kind) {
        case Kind::Certificate:
            // A value that does not parse leaves the certificate empty; C1 refuses it.
            if (attribute.type == CKA_VALUE)
                static_cast<Core::Certificate*>(object)->SetCertificate(bytes, attribute.ulValueLen);
            break;
        case Kind::DataFile:
            if (attribute.type == CKA_VALUE &&
                static_cast<Core::FileStorage*>(object)->SetFileStorage(bytes, attribute.ulValueLen, false) !=
                    Core::CoreOk)
                return CKR_TEMPLATE_INCONSISTENT;
            break;
        case Kind::PrivateKey:
            if (attribute.type == CKA_DECRYPT) flags.decrypt = CK_TRUE;
            else if (attribute.type == CKA_SIGN) flags.sign = CK_TRUE;
            else setComponent(request->rsa, attribute);
            break;
        default:
            break;
        }
    }
    return CKR_OK;
}

// Frame steps 5 to 13 under the session, its group and the slot's pair. *logged is the
// handle for the exit lines.
CK_RV createObject(Pkcs11Provider* provider, CK_SESSION_HANDLE hSession, CK_ATTRIBUTE_PTR pTemplate,
                   CK_ULONG ulCount, CK_OBJECT_HANDLE_PTR phObject, CK_OBJECT_HANDLE* logged) {
    Core::Log* log = GetPkcs11Log();
    CallFrame::Held held;
    CK_RV rv = CallFrame::TakeSessionAndGroup(provider, hSession, held);
    Pkcs11ObjectList* list = nullptr;
    Locked<Core::ReaderCardPair> pair;
    if (rv == CKR_OK) {
        list = held.group->GetObjectList();
        if (list != nullptr) pair.reset(CallFrame::LockPair(provider, held.slot));
        if (list == nullptr || !pair) rv = CKR_FUNCTION_FAILED;
    }
    if (rv == CKR_OK && !list->IsLoaded(0)) {
        log->Info("    pridavam objekty do seznamu");
        rv = list->AddAllObjectsFromCard(pair.get());
    }
    Pkcs11Template::LogTemplate(pTemplate, ulCount, "sablona", Core::Log::LevelInfo);
    if (rv != CKR_OK) return rv;

    Request request;
    readKind(pTemplate, ulCount, &request);
    std::unique_ptr<Core::CoreObject> object;
    rv = checkKind(request, &object);
    if (rv != CKR_OK) return rv;
    initialFlags(&request);
    const CK_STATE state = held.session->GetState();
    rv = scanTemplate(pTemplate, ulCount, state, pair.get(), object.get(), &request);
    if (rv != CKR_OK) return rv;
    // Private objects need the user, also when the template leaves CKA_PRIVATE to its default.
    if (request.flags.privateObject && !CallFrame::UserLoggedIn(held)) return CKR_USER_NOT_LOGGED_IN;

    const ObjectImport::Context context{list, pair.get()};
    bool duplicate = false;
    switch (request.kind) {
    case Kind::Certificate:
        rv = ObjectImport::ImportCertificate(context, request, static_cast<Core::Certificate*>(object.get()),
                                             phObject, &duplicate);
        break;
    case Kind::DataFile:
        rv = ObjectImport::ImportDataFile(context, request, static_cast<Core::FileStorage*>(object.get()));
        break;
    case Kind::PrivateKey:
        rv = ObjectImport::ImportPrivateKey(context, request, phObject);
        if (rv == CKR_OK) *logged = *phObject;
        return rv;
    default:
        return CKR_FUNCTION_FAILED;
    }
    if (rv != CKR_OK) return rv;
    if (duplicate) {
        *logged = *phObject;
        return CKR_OK;
    }

    // Frame step 13: the new certificate or data object joins the list.
    object->SetCoreObjectFlags(request.flags);
    if (request.flags.id.length == 0) object->SetCryptokiID(static_cast<Core::ReaderCardPair*>(nullptr));
    unsigned long handle = list->Add(object.get());
    if (handle == 0) return CKR_FUNCTION_FAILED;
    object.release();
    *phObject = handle;
    *logged = handle;
    return CKR_OK;
}

}  // namespace

CK_RV Pkcs11Provider::C_CreateObject(CK_SESSION_HANDLE hSession, CK_ATTRIBUTE_PTR pTemplate, CK_ULONG ulCount,
                                     CK_OBJECT_HANDLE_PTR phObject) {
    Core::Log* log = GetPkcs11Log();
    log->Info("Pkcs11Provider::C_CreateObject(0x%lX, %p, %lu, %p)", hSession, static_cast<void*>(pTemplate), ulCount,
              static_cast<void*>(phObject));
    if (!IsInitialised()) return LogResult(kMethod, CKR_CRYPTOKI_NOT_INITIALIZED);
    if (hSession == 0 || phObject == nullptr || (pTemplate == nullptr && ulCount != 0))
        return LogResult(kMethod, CKR_ARGUMENTS_BAD);
    // A value that is said to have bytes but has no buffer cannot be read.
    for (CK_ULONG i = 0; i < ulCount; ++i)
        if (pTemplate[i].pValue == nullptr && pTemplate[i].ulValueLen != 0)
            return LogResult(kMethod, CKR_ARGUMENTS_BAD);

    CK_OBJECT_HANDLE handle = 0;
    CK_RV rv;
    try {
        rv = createObject(this, hSession, pTemplate, ulCount, phObject, &handle);
    } catch (const std::bad_alloc&) {
        rv = CKR_HOST_MEMORY;
    }
    LogResult(kMethod, rv);
    if (rv == CKR_OK) log->Info("    handle: 0x%lx", handle);
    return rv;
}

}  // namespace Pkcs11
}  // namespace Vellumcrest
