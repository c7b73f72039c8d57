// Import of data objects (data files on the card) and of RSA private keys (a key pair in a
// new container).
#include "core/Log.h"
#include "core/OrvoString.h"
#include "crypto/Mechanisms.h"
#include "module/Globals.h"
#include "object/ObjectImport.h"

namespace Vellumcrest {
namespace Pkcs11 {
namespace ObjectImport {

CK_RV ImportDataFile(const Context& context, Request& request, Core::FileStorage* data) {
    Core::Log* log = GetPkcs11Log();
    Core::ReaderCardPair* pair = context.pair;
    request.flags.modifiable = CK_FALSE;
    // Data files are public token objects; an empty one is refused first.
    const bool inconsistent = !request.flags.token || request.flags.privateObject;
    if (data->GetFileStorageDataSize() == 0) return CKR_FUNCTION_FAILED;
    if (inconsistent) return CKR_TEMPLATE_INCONSISTENT;

    OpenCard card(pair);
    if (!card.IsOpen()) return CKR_FUNCTION_FAILED;
    log->Info("Pkcs11Provider::C_CreateObject(): public datafile");
    Core::CardFileStorage payload(data->GetFileStorageData(), data->GetFileStorageDataSize());
    orvostd::OrvoStringW name;
    if (request.label != nullptr && request.labelLength != 0)
        name = Core::Utf8ToOrvoStringW(reinterpret_cast<const char*>(request.label), request.labelLength);

    CK_RV rv = CKR_OK;
    Core::CardFileStorageRecord* record = nullptr;
    int code = pair->CreateFileStorage(name, Core::ContainerId_DATA, 0, payload, &record, false);
    if (code != Core::CoreOk || record == nullptr) {
        log->Error("Pkcs11Provider::C_CreateObject():CreateFileStorage(): error %d", code);
        rv = CardWriteError(code);
    } else if ((code = data->SetFileStorage(record, payload)) != Core::CoreOk) {
        log->Error("Pkcs11Provider::C_CreateObject():SetFileStorage(): error %d", code);
        // The object is not listed: its file goes again.
        pair->DeleteFileStorage(record);
        rv = CKR_FUNCTION_FAILED;
    }
    return rv;
}

namespace {

bool allComponentsGiven(const Core::RsaParam& rsa) {
    return rsa.GetModulusLength() != 0 && rsa.GetExponentLength() != 0 && rsa.GetDLength() != 0 &&
           rsa.GetPLength() != 0 && rsa.GetQLength() != 0 && rsa.GetDPLength() != 0 && rsa.GetDQLength() != 0 &&
           rsa.GetInverseQLength() != 0;
}

// Key-pair flags of an imported key; 0 when the template asks for neither use.
int keyPairFlags(const Request& request) {
    int flags = request.rsa.GetModulusLength() > 128 ? Core::KeyPairFlag2048 : 0;
    if (request.flags.decrypt) return flags | Core::KeyPairFlagDecrypt;
    if (request.flags.sign) return flags | Core::KeyPairFlagSign;
    return 0;
}

}  // namespace

CK_RV ImportPrivateKey(const Context& context, const Request& request, CK_OBJECT_HANDLE* phObject) {
    Core::Log* log = GetPkcs11Log();
    Core::ReaderCardPair* pair = context.pair;
    if (!request.flags.token) {
        log->Error("Pkcs11Provider::C_CreateObject(): CKA_TOKEN atribut privatniho klice nesmi byt FALSE");
        return CKR_TEMPLATE_INCONSISTENT;
    }
    if (!request.flags.privateObject) {
        log->Error("Pkcs11Provider::C_CreateObject(): CKA_PRIVATE atribut privatniho klice nesmi byt FALSE");
        return CKR_TEMPLATE_INCONSISTENT;
    }
    if (!allComponentsGiven(request.rsa)) return CKR_FUNCTION_FAILED;
    const unsigned long modulusLength = request.rsa.GetModulusLength();
    if (!Mechanisms::KeySizeAllowed(*Mechanisms::Find(CKM_RSA_PKCS_KEY_PAIR_GEN), modulusLength)) {
        log->Error("Pkcs11Provider::C_CreateObject(): nepodporovana velikost klice - musi byt 1024 nebo 2048 bitu");
        return CKR_TEMPLATE_INCONSISTENT;
    }
    const int flags = keyPairFlags(request);
    if (flags == 0 || flags == Core::KeyPairFlag2048) {
        log->Error("Pkcs11Provider::C_CreateObject(): neznamy typ privatniho klice (nenastaven ani jeden z atributu "
                   "CKA_DECRYPT a CKA_SIGN)");
        return CKR_TEMPLATE_INCONSISTENT;
    }

    OpenCard card(pair);
    if (!card.IsOpen()) return CKR_FUNCTION_FAILED;
    Core::CardContainerRecord* container = nullptr;
    int code = pair->CreateContainer(orvostd::OrvoStringW(), 0, Core::CardObjectTypeKeyContainer, &container, false);
    if (code != Core::CoreOk || container == nullptr) {
        log->Error("Pkcs11Provider::C_CreateObject():CreateContainer(): error %d", code);
        return CardWriteError(code);
    }

    CK_RV rv = CKR_OK;
    Core::CardPrivateKeyRecord* privateRecord = nullptr;
    Core::CardPublicKeyRecord* publicRecord = nullptr;
    code = pair->GenerateKeyPair(container, flags, &privateRecord, &publicRecord, &request.rsa);
    if (code != Core::CoreOk || privateRecord == nullptr || publicRecord == nullptr) {
        rv = CardWriteError(code);
    } else {
        CK_OBJECT_HANDLE publicHandle = 0;
        CK_OBJECT_HANDLE privateHandle = 0;
        rv = context.list->AddKeyPair(pair, publicRecord, privateRecord, &publicHandle, &privateHandle,
                                      request.cardId, request.cardIdLength, request.label, request.labelLength);
        if (rv == CKR_OK) {
            *phObject = privateHandle;
        } else {
            pair->DeleteKeyPair(privateRecord, publicRecord);
            rv = CKR_FUNCTION_FAILED;
        }
    }
    // A failed import leaves no empty container behind.
    if (rv != CKR_OK && pair->DeleteContainer(container, true, false) != Core::CoreOk)
        log->Error("Pkcs11Provider::C_CreateObject(): prazdny kontejner nelze odstranit");
    return rv;
}

}  // namespace ObjectImport
}  // namespace Pkcs11
}  // namespace Vellumcrest
