// Certificate import: the duplicate search, the choice between client, root and partner
// certificate, the issuer check of client certificates, and the card write.
#include "core/Log.h"
#include "diag/Names.h"
#include "module/ConfigPkcs11.h"
#include "module/Globals.h"
#include "module/Locked.h"
#include "object/ObjectImport.h"

namespace Vellumcrest {
namespace Pkcs11 {
namespace ObjectImport {

namespace {

const CK_OBJECT_CLASS kCertificateClass = CKO_CERTIFICATE;
const CK_OBJECT_CLASS kPublicKeyClass = CKO_PUBLIC_KEY;
const CK_CERTIFICATE_TYPE kX509 = CKC_X_509;
const CK_KEY_TYPE kRsa = CKK_RSA;
const CK_ULONG kAuthorityCategory = 2;
const CK_BBOOL kTrue = CK_TRUE;

// Search templates only read their values.
CK_ATTRIBUTE attribute(CK_ATTRIBUTE_TYPE type, const void* value, CK_ULONG length) {
    return CK_ATTRIBUTE{type, const_cast<void*>(value), length};
}

// The search that C_CreateObject makes over the list: from the object after *position,
// private objects excluded.
template <size_t N>
CK_RV findNext(const Context& context, CK_OBJECT_HANDLE* position, const CK_ATTRIBUTE (&search)[N]) {
    return context.list->FindNextMatchingObject(position, search, N, false, context.pair);
}

// Removes the object bound to a certificate record that was deleted from the card.
void dropCertificateObject(Pkcs11ObjectList* list, uint32_t recordId) {
    unsigned long handle = 0;
    for (Core::CoreObject* object = list->GetFirst(handle, true); object != nullptr && handle != 0;
         object = list->GetNext(handle, true)) {
        bool match =
            object->GetCoreObjectType() == Core::CoreObjectTypeCertificate && object->GetRecordId() == recordId;
        if (!match) {
            object->Unlock();
            continue;
        }
        list->Remove(handle);
        object->Unlock();
        delete object;
        return;
    }
}

// C9, with the card open (the caller closes it): the record of the kind, the object bound to it, its ID and label.
// A failure after the record was made takes the record off the card again.
CK_RV writeCertificate(const Context& context, const Request& request, Core::Certificate* certificate,
                       Core::CertificateKind kind, const Core::CardPublicKeyRecord* key) {
    Core::Log* log = GetPkcs11Log();
    Core::ReaderCardPair* pair = context.pair;
    Core::CardCertificate payload(certificate->GetCertificateData(), certificate->GetCertificateDataSize());
    Core::CardCertificateRecord* record = nullptr;
    int code;
    const char* operation;
    switch (kind) {
    case Core::CertificateKindClient:
        operation = "CreateCertificateClient";
        code = pair->CreateCertificateClient(payload, key, &record);
        break;
    case Core::CertificateKindRoot:
        operation = "CreateCertificateRoot";
        code = pair->CreateCertificateRoot(payload, &record);
        break;
    default:
        operation = "CreateCertificatePartner";
        code = pair->CreateCertificatePartner(payload, &record);
        break;
    }
    if (code != Core::CoreOk || record == nullptr) {
        log->Error("Pkcs11Provider::C_CreateObject():%s(): error %d", operation, code);
        return CardWriteError(code);
    }

    CK_RV rv = CKR_OK;
    code = certificate->SetCertificate(record, payload);
    if (code != Core::CoreOk) {
        log->Error("Pkcs11Provider::C_CreateObject():SetCertificate(): error %d", code);
        rv = CKR_FUNCTION_FAILED;
    }
    const bool hasId = request.cardId != nullptr && request.cardIdLength != 0;
    const bool hasLabel = request.label != nullptr && request.labelLength != 0;
    if (rv == CKR_OK && (hasId || hasLabel)) {
        if ((hasId && !record->common.SetId(request.cardId, request.cardIdLength)) ||
            (hasLabel &&
             !record->common.SetLabelUtf8(reinterpret_cast<const char*>(request.label), request.labelLength))) {
            rv = CKR_FUNCTION_FAILED;
        } else if ((code = pair->UpdateCertificateAttr(record)) != Core::CoreOk) {
            log->Error("Pkcs11Provider::C_CreateObject():UpdateCertificateAttr(): error %d", code);
            rv = CardWriteError(code);
        }
    }
    if (rv != CKR_OK) pair->DeleteCertificate(record);
    return rv;
}

// C5: a client certificate needs its issuer's certificate on the token.
CK_RV checkIssuer(const Context& context, const Core::Certificate* certificate) {
    Core::Log* log = GetPkcs11Log();
    log->Info("Pkcs11Provider::C_CreateObject(): klientsky certifikat - spoustim kontrolu na root cert");
    const CK_ATTRIBUTE search[] = {
        attribute(CKA_CLASS, &kCertificateClass, sizeof kCertificateClass),
        attribute(CKA_TOKEN, &kTrue, sizeof kTrue),
        attribute(CKA_CERTIFICATE_TYPE, &kX509, sizeof kX509),
        attribute(CKA_CERTIFICATE_CATEGORY, &kAuthorityCategory, sizeof kAuthorityCategory),
    };
    Pkcs11Template::LogTemplate(search, 4, "hledaci sablona", Core::Log::LevelDebug);
    CK_OBJECT_HANDLE position = 0;
    for (;;) {
        CK_RV rv = findNext(context, &position, search);
        if (rv != CKR_OK || position == 0) {
            log->Error("Pkcs11Provider::C_CreateObject(): chyba pri vyhledavani root certifikatu");
            if (rv == CKR_OK)
                log->Error("Pkcs11Provider::C_CreateObject(): token neobsahuje prislusny certifikat vydavatele; "
                           "import zakazan");
            return CKR_FUNCTION_FAILED;
        }
        Locked<Core::CoreObject> candidate(context.list->FindObject(static_cast<unsigned long>(position), true));
        auto* issuer = dynamic_cast<Core::Certificate*>(candidate.get());
        if (issuer != nullptr && certificate->IsIssuedByCert(issuer)) {
            log->Info("Pkcs11Provider::C_CreateObject(): kontrola na root cert OK");
            return CKR_OK;
        }
    }
}

// C6: into the container of the public key found for the certificate.
CK_RV importClient(const Context& context, const Request& request, Core::Certificate* certificate,
                   CK_OBJECT_HANDLE keyHandle) {
    Core::Log* log = GetPkcs11Log();
    Core::ReaderCardPair* pair = context.pair;
    log->Info("Pkcs11Provider::C_CreateObject(): klientsky certifikat");
    Locked<Core::CoreObject> keyObject(context.list->FindObject(static_cast<unsigned long>(keyHandle), true));
    auto* publicKey = dynamic_cast<Core::RsaPublicKey*>(keyObject.get());
    if (publicKey == nullptr || publicKey->GetCardPublicKeyRecord(pair) == nullptr) return CKR_FUNCTION_FAILED;

    CK_RV mzvResult = CKR_OK;
    if (!certificate->IsSelfSigned() && GetConfigPkcs11()->GetMzvMode()) {
        log->Info("Pkcs11Provider::C_CreateObject(): v registrech zjisten priznak pro MZV rezim");
        log->Info("Pkcs11Provider::C_CreateObject(): non self-signed certifikat - zapinam rezim kontrol a premazani "
                  "puvodniho certifikatu");
        Core::CardCertificateRecord* old = pair->FindCardCertificateRecord(publicKey->GetCardPublicKeyRecord(pair));
        if (old != nullptr) {
            log->Info("Pkcs11Provider::C_CreateObject(): nalezen certifikat ve stejnem kontejneru jako public klic, "
                      "mazu jej");
            const uint32_t oldRecordId = old->recordId;
            int code = pair->DeleteCertificate(old);
            if (code != Core::CoreOk) {
                log->Error("Pkcs11Provider::C_CreateObject():DeleteCertificate(): chyba 0x%x", code);
                mzvResult = CKR_FUNCTION_FAILED;
            } else {
                // The replaced certificate leaves the list with its record.
                dropCertificateObject(context.list, oldRecordId);
            }
        }
    }

    // The container is checked with the card open, so that no other process fills it meanwhile.
    OpenCard card(pair);
    if (!card.IsOpen()) return CKR_FUNCTION_FAILED;
    const Core::CardPublicKeyRecord* keyRecord = publicKey->GetCardPublicKeyRecord(pair);
    CK_RV rv = keyRecord == nullptr ? CKR_FUNCTION_FAILED : mzvResult;
    if (keyRecord != nullptr && pair->FindCardCertificateRecord(keyRecord) != nullptr) {
        log->Info("Pkcs11Provider::C_CreateObject(): certifikat je jiz na karte v totoznem kontejneru ulozen");
        rv = CKR_FUNCTION_FAILED;
    }
    if (rv != CKR_OK) return rv;
    return writeCertificate(context, request, certificate, Core::CertificateKindClient, keyRecord);
}

// C7 and C8: a certificate without a key of its own on the token.
CK_RV importWithoutKey(const Context& context, const Request& request, Core::Certificate* certificate,
                       Core::CertificateKind kind) {
    OpenCard card(context.pair);
    if (!card.IsOpen()) return CKR_FUNCTION_FAILED;
    GetPkcs11Log()->Info(kind == Core::CertificateKindRoot ? "Pkcs11Provider::C_CreateObject(): CA certifikat"
                                                           : "Pkcs11Provider::C_CreateObject(): partner certifikat");
    return writeCertificate(context, request, certificate, kind, nullptr);
}

}  // namespace

CK_RV ImportCertificate(const Context& context, const Request& request, Core::Certificate* certificate,
                        CK_OBJECT_HANDLE* existing, bool* duplicate) {
    Core::Log* log = GetPkcs11Log();
    *duplicate = false;
    // C1
    if (certificate->GetCertificateDataSize() == 0) return CKR_FUNCTION_FAILED;
    if (!request.flags.token) return CKR_TEMPLATE_INCONSISTENT;

    // C2: the same certificate is on the token already.
    const CK_ATTRIBUTE sameCertificate[] = {
        attribute(CKA_CLASS, &kCertificateClass, sizeof kCertificateClass),
        attribute(CKA_TOKEN, &kTrue, sizeof kTrue),
        attribute(CKA_CERTIFICATE_TYPE, &kX509, sizeof kX509),
        attribute(CKA_VALUE, certificate->GetCertificateData(), certificate->GetCertificateDataSize()),
    };
    Pkcs11Template::LogTemplate(sameCertificate, 4, "sablona pro vyhledani duplicitniho certifikatu",
                                Core::Log::LevelDebug);
    CK_OBJECT_HANDLE found = 0;
    CK_RV rv = findNext(context, &found, sameCertificate);
    if (rv != CKR_OK) return rv;
    if (found != 0) {
        log->Info("Pkcs11Provider::C_CreateObject(): totozny certifikat je jiz na karte ulozen");
        *existing = found;
        *duplicate = true;
        return CKR_OK;
    }

    // C3: the token's public key with the certificate's modulus and exponent.
    const CK_ATTRIBUTE sameKey[] = {
        attribute(CKA_CLASS, &kPublicKeyClass, sizeof kPublicKeyClass),
        attribute(CKA_TOKEN, &kTrue, sizeof kTrue),
        attribute(CKA_KEY_TYPE, &kRsa, sizeof kRsa),
        attribute(CKA_MODULUS, certificate->GetModulus(), certificate->GetModulusSize()),
        attribute(CKA_PUBLIC_EXPONENT, certificate->GetExponent(), certificate->GetExponentSize()),
    };
    Pkcs11Template::LogTemplate(sameKey, 5, "sablona pro vyhledani public klice", Core::Log::LevelDebug);
    CK_OBJECT_HANDLE key = 0;
    const CK_RV keySearch = findNext(context, &key, sameKey);

    // C4
    if (keySearch == CKR_OK && key != 0) {
        if (!certificate->IsSelfSigned()) {
            rv = checkIssuer(context, certificate);
            if (rv != CKR_OK) return rv;
        }
        return importClient(context, request, certificate, key);
    }
    if (certificate->IsCACertificate() || certificate->IsSelfSigned())
        return importWithoutKey(context, request, certificate, Core::CertificateKindRoot);
    if (keySearch != CKR_OK) return CKR_FUNCTION_FAILED;
    return importWithoutKey(context, request, certificate, Core::CertificateKindPartner);
}

}  // namespace ObjectImport
}  // namespace Pkcs11
}  // namespace Vellumcrest
