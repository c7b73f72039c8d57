// C_GenerateKeyPair: an RSA key pair of 1024 or 2048 bits made by the card core in a new
// container of the card and added to the slot's object list.
//
// Making a 2048-bit key takes long. It is made without the slot's reader/card pair or the
// card's file lock held (PrepareKeyPair), so that other slots, slot listing and other
// processes using the card go on meanwhile; only the calling session and its session
// group stay held, which blocks other calls on this slot alone. The card is then opened
// and the prepared key stored.
#include <string>

#include "core/CardRecords.h"
#include "core/Log.h"
#include "core/OrvoString.h"
#include "crypto/Mechanisms.h"
#include "diag/Names.h"
#include "module/ConfigPkcs11.h"
#include "module/Globals.h"
#include "module/Locked.h"
#include "module/Pkcs11Provider.h"
#include "object/KeyGeneration.h"
#include "object/Pkcs11ObjectList.h"
#include "session/CallFrame.h"

namespace Vellumcrest {
namespace Pkcs11 {

using CallFrame::Held;
using KeyGeneration::KeyKind;

namespace {

constexpr int kUserAuth = 1;

// What C_GenerateKeyPair hands to its caller after every lock is released.
struct Outcome {
    CK_OBJECT_HANDLE publicKey = 0;
    CK_OBJECT_HANDLE privateKey = 0;
    bool noFreeSlot = false;  // the card has no free place for the key
    std::string readerName;   // for the no-free-slot dialog
};

void logCoreError(const char* step, int code) {
    GetPkcs11Log()->Error("Pkcs11Provider::C_GenerateKeyPair():%s(): chyba 0x%x", step, static_cast<unsigned>(code));
}

// Result of a failed generation (the prepare or the store step).
CK_RV generationFailure(const char* step, int code, Outcome* outcome) {
    logCoreError(step, code);
    if (code != Core::CoreNoFreeKeyPlace) return CKR_FUNCTION_FAILED;
    outcome->noFreeSlot = true;
    return CKR_DEVICE_MEMORY;
}

// Steps on the open card: a new container, the prepared key stored in it (after a login
// from the PIN cache for an e-signature key), the pair added to the object list. A
// container left without a registered key pair is removed again.
CK_RV storeOnCard(SessionGroup* group, Core::ReaderCardPair* pair, const KeyGeneration::Request& request,
                  int flags, Core::PreparedKeyPair* prepared, Outcome* outcome) {
    Core::Log* log = GetPkcs11Log();
    Core::CardContainerRecord* container = nullptr;
    int code = pair->CreateContainer(orvostd::OrvoStringW(), 0, Core::CardObjectTypeKeyContainer, &container, false);
    if (code != Core::CoreOk) {
        log->Error("Pkcs11Provider::C_GenerateKeyPair():CreateContainer(): error %d", code);
        if (code == Core::CoreOutOfMemory) return CKR_HOST_MEMORY;
        return code == Core::CoreCardMemoryFull ? CKR_DEVICE_MEMORY : CKR_FUNCTION_FAILED;
    }

    CK_RV rv = CKR_OK;
    bool loggedIn = false;
    if ((flags & Core::KeyPairFlagEsign) != 0) {
        rv = group->LoginFromPINCache(kUserAuth, pair);
        loggedIn = rv == CKR_OK;
    }
    if (rv == CKR_OK) {
        Core::CardPrivateKeyRecord* privateRecord = nullptr;
        Core::CardPublicKeyRecord* publicRecord = nullptr;
        code = pair->GenerateKeyPair(container, flags, &privateRecord, &publicRecord, nullptr, prepared);
        if (code != Core::CoreOk) {
            rv = generationFailure("GenerateKeyPair", code, outcome);
        } else {
            rv = group->GetObjectList()->AddKeyPair(pair, publicRecord, privateRecord, &outcome->publicKey,
                                                    &outcome->privateKey, request.id, request.idLength,
                                                    request.label, request.labelLength);
            if (rv != CKR_OK) {
                log->Error("Pkcs11Provider::C_GenerateKeyPair(): par klicu nelze pridat do seznamu objektu, mazu jej");
                pair->DeleteKeyPair(privateRecord, publicRecord);
                rv = CKR_FUNCTION_FAILED;
            }
        }
    }
    if (loggedIn) pair->Logout();

    if (rv != CKR_OK) {
        code = pair->DeleteContainer(container, true, false);
        if (code != Core::CoreOk) logCoreError("DeleteContainer", code);
    }
    return rv;
}

// Everything of C_GenerateKeyPair that runs under the session, its group and the pair;
// every lock is released when it returns.
CK_RV generateUnderLocks(Pkcs11Provider* provider, CK_SESSION_HANDLE hSession, CK_ATTRIBUTE_PTR pPublicKeyTemplate,
                         CK_ULONG ulPublicKeyAttributeCount, CK_ATTRIBUTE_PTR pPrivateKeyTemplate,
                         CK_ULONG ulPrivateKeyAttributeCount, Outcome* outcome) {
    Core::Log* log = GetPkcs11Log();
    Held held;
    CK_RV rv = CallFrame::TakeSession(provider, hSession, held);
    if (rv != CKR_OK) return rv;
    CK_STATE state = held.session->GetState();
    if (state == CKS_RO_PUBLIC_SESSION || state == CKS_RO_USER_FUNCTIONS) return CKR_SESSION_READ_ONLY;
    if (state != CKS_RW_USER_FUNCTIONS) return CKR_USER_NOT_LOGGED_IN;
    if (CallFrame::TakeGroup(held) != CKR_OK) return CKR_FUNCTION_FAILED;
    SessionGroup* group = held.group.get();
    if (group->GetObjectList() == nullptr) return CKR_FUNCTION_FAILED;

    Pkcs11Template::LogTemplate(pPublicKeyTemplate, ulPublicKeyAttributeCount, "sablona verejneho klice",
                                Core::Log::LevelInfo);
    Pkcs11Template::LogTemplate(pPrivateKeyTemplate, ulPrivateKeyAttributeCount, "sablona privatniho klice",
                                Core::Log::LevelInfo);

    if (!KeyGeneration::HasAttribute(pPrivateKeyTemplate, ulPrivateKeyAttributeCount, CKA_TOKEN)) {
        log->Error("Pkcs11Provider::C_GenerateKeyPair(): neni definovan atribut CKA_TOKEN v sablone privatniho "
                   "klice. Generovani session klicu neni podporovano.");
        return CKR_TEMPLATE_INCONSISTENT;
    }
    if (!KeyGeneration::HasAttribute(pPublicKeyTemplate, ulPublicKeyAttributeCount, CKA_TOKEN))
        log->Warning("Pkcs11Provider::C_GenerateKeyPair(): neni definovan atribut CKA_TOKEN v sablone public klice. "
                     "Klic presto bude vygenerovan na tokenu.");

    Locked<Core::ReaderCardPair> pair(CallFrame::LockPair(provider, held.slot));
    if (!pair) return CKR_FUNCTION_FAILED;
    const int cardType = pair->GetCardType();
    const CK_ULONG labelLimit = KeyGeneration::LabelLimit(cardType);
    KeyGeneration::Request request;
    rv = KeyGeneration::ScanPublicTemplate(pPublicKeyTemplate, ulPublicKeyAttributeCount, labelLimit, &request);
    if (rv == CKR_OK)
        rv = KeyGeneration::ScanPrivateTemplate(pPrivateKeyTemplate, ulPrivateKeyAttributeCount, labelLimit, &request);
    if (rv == CKR_OK) rv = KeyGeneration::CheckCombination(request);
    KeyKind kind = KeyKind::Encryption;
    if (rv == CKR_OK)
        rv = KeyGeneration::ChooseKeyKind(request, cardType, GetConfigPkcs11()->GetSignatureKeyType(),
                                          provider->GetCsp(), &kind);
    if (rv != CKR_OK) return rv;
    const int flags = KeyGeneration::CardKeyPairFlags(request, kind, cardType);

    // The slow part, with the pair unlocked (pairs live as long as the process).
    Core::ReaderCardPair* cardPair = pair.get();
    pair.reset();
    Core::PreparedKeyPair prepared;
    int code = cardPair->PrepareKeyPair(flags, &prepared);
    if (code != Core::CoreOk) {
        rv = generationFailure("PrepareKeyPair", code, outcome);
    } else {
        // The card may have been changed meanwhile.
        rv = provider->VerifyKnownCardPresent(held.slot);
        if (rv == CKR_OK) {
            pair.reset(CallFrame::LockPair(provider, held.slot));
            if (!pair || pair->Open() != Core::CoreOk) {
                rv = CKR_FUNCTION_FAILED;
            } else {
                rv = storeOnCard(group, pair.get(), request, flags, &prepared, outcome);
                pair->Close();
            }
        }
    }
    if (outcome->noFreeSlot && GetConfigPkcs11()->GetEsignErrorDialog())
        outcome->readerName = cardPair->GetReader()->GetReaderName();
    return rv;
}

}  // namespace

CK_RV Pkcs11Provider::C_GenerateKeyPair(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism,
                                        CK_ATTRIBUTE_PTR pPublicKeyTemplate, CK_ULONG ulPublicKeyAttributeCount,
                                        CK_ATTRIBUTE_PTR pPrivateKeyTemplate, CK_ULONG ulPrivateKeyAttributeCount,
                                        CK_OBJECT_HANDLE_PTR phPublicKey, CK_OBJECT_HANDLE_PTR phPrivateKey) {
    static const char* const kMethod = "C_GenerateKeyPair";
    Core::Log* log = GetPkcs11Log();
    log->Info("Pkcs11Provider::C_GenerateKeyPair(0x%lX, %p, %p, %lu, %p, %lu, %p, %p)", hSession,
              static_cast<void*>(pMechanism), static_cast<void*>(pPublicKeyTemplate), ulPublicKeyAttributeCount,
              static_cast<void*>(pPrivateKeyTemplate), ulPrivateKeyAttributeCount, static_cast<void*>(phPublicKey),
              static_cast<void*>(phPrivateKey));
    if (!IsInitialised()) return LogResult(kMethod, CKR_CRYPTOKI_NOT_INITIALIZED);
    if (hSession == 0 || pMechanism == nullptr || pPublicKeyTemplate == nullptr || pPrivateKeyTemplate == nullptr ||
        phPublicKey == nullptr || phPrivateKey == nullptr)
        return LogResult(kMethod, CKR_ARGUMENTS_BAD);
    if (Mechanisms::ForFunction(pMechanism->mechanism, CKF_GENERATE_KEY_PAIR) == nullptr)
        return LogResult(kMethod, CKR_MECHANISM_INVALID);

    Outcome outcome;
    CK_RV rv = generateUnderLocks(this, hSession, pPublicKeyTemplate, ulPublicKeyAttributeCount, pPrivateKeyTemplate,
                                  ulPrivateKeyAttributeCount, &outcome);
    // After every lock of the call is released.
    if (outcome.noFreeSlot && GetConfigPkcs11()->GetEsignErrorDialog())
        GetCsp()->CspNoFreeEsignSlotUI(nullptr, outcome.readerName.c_str());

    LogResult(kMethod, rv);
    if (rv == CKR_OK) {
        *phPublicKey = outcome.publicKey;
        *phPrivateKey = outcome.privateKey;
        log->Info("    hPrivateKey: 0x%lx", outcome.privateKey);
        log->Info("    hPublicKey:  0x%lx", outcome.publicKey);
    }
    return rv;
}

}  // namespace Pkcs11
}  // namespace Vellumcrest
