// C_Login, C_Logout, C_PINPadPseudoLogin, C_InitPIN, C_SetPIN.
//
// The card is never left logged in: a login checks the PIN on the card, keeps it in the
// pair's PIN cache and logs the card out again; private-key operations log in from the
// cache. Lock order: session, group, reader/card pair.

#include <openssl/crypto.h>

#include "auth/CardFrame.h"
#include "core/Log.h"
#include "module/ConfigPkcs11.h"
#include "module/Globals.h"
#include "module/Locked.h"
#include "module/Pkcs11Provider.h"
#include "module/ReturnValues.h"
#include "session/CallFrame.h"
#include "session/SoPinStore.h"

namespace Vellumcrest {
namespace Pkcs11 {

namespace {

const unsigned char kPlaceholderPin[4] = {'n', 'o', 'n', 'e'};

bool isPublicState(CK_STATE state) {
    return state == CKS_RO_PUBLIC_SESSION || state == CKS_RW_PUBLIC_SESSION;
}

bool isUserState(CK_STATE state) {
    return state == CKS_RO_USER_FUNCTIONS || state == CKS_RW_USER_FUNCTIONS;
}

const char* userTypeName(CK_USER_TYPE userType) {
    if (userType == CKU_SO) return "SO";
    if (userType == CKU_USER) return "user";
    return "context specific";
}

// The reader of the slot has a PIN pad that the configuration lets the login use.
bool usesProtectedPath(Core::ReaderCardPair* pair) {
    if (!GetConfigPkcs11()->GetProtectAuthPath()) return false;
    Core::Reader* reader = pair->GetReader();
    return reader != nullptr && reader->GetSpeEnabled();
}

CK_RV loginResult(Core::ReaderCardPair* pair, int result) {
    CK_RV rv;
    if (PinResultToCkRv(result, &rv)) return rv;
    if (result == Core::CoreCancelled) return CKR_FUNCTION_CANCELED;
    GetPkcs11Log()->Error("WSC ERROR: 0x%lX", pair->GetLastSCardError());
    return CKR_FUNCTION_FAILED;
}

// Wipes a PIN copy when it goes out of scope.
struct PinCopy {
    unsigned char data[64];
    unsigned long length = sizeof data;
    ~PinCopy() { OPENSSL_cleanse(data, sizeof data); }
};

}  // namespace

CK_RV PinChangeResult(Core::ReaderCardPair* pair, int result) {
    CK_RV rv;
    if (PinResultToCkRv(result, &rv)) return rv;
    if (result == Core::CoreSCardError)
        GetPkcs11Log()->Error("WSC ERROR: 0x%lX", pair->GetLastSCardError());
    else
        GetPkcs11Log()->Error("Core ERROR: %d", result);
    return CKR_FUNCTION_FAILED;
}

CK_RV Pkcs11Provider::C_Login(CK_SESSION_HANDLE hSession, CK_USER_TYPE userType, CK_UTF8CHAR_PTR pPin,
                              CK_ULONG ulPinLen) {
    static const char* const method = "C_Login";
    Core::Log* log = GetPkcs11Log();
    log->Info("Pkcs11Provider::C_Login(0x%lX, %s, %p, %lu)", hSession, userTypeName(userType),
              static_cast<void*>(pPin), ulPinLen);

    if (!initialised_) return LogResult(method, CKR_CRYPTOKI_NOT_INITIALIZED);
    if (hSession == 0) return LogResult(method, CKR_ARGUMENTS_BAD);
    if (userType != CKU_SO && userType != CKU_USER && userType != CKU_CONTEXT_SPECIFIC)
        return LogResult(method, CKR_USER_TYPE_INVALID);

    CallFrame::Held held;
    CK_RV rv = CallFrame::TakeSessionAndGroup(this, hSession, held);
    if (rv != CKR_OK) return LogResult(method, rv);
    Locked<Session>& session = held.session;
    Locked<SessionGroup>& group = held.group;
    CK_SLOT_ID slot = held.slot;
    CK_STATE state = session->GetState();

    if (userType == CKU_SO || userType == CKU_USER) {
        if (!isPublicState(state)) {
            bool same = (state == CKS_RW_SO_FUNCTIONS && userType == CKU_SO) ||
                        (isUserState(state) && userType == CKU_USER);
            rv = same ? CKR_USER_ALREADY_LOGGED_IN : CKR_USER_ANOTHER_ALREADY_LOGGED_IN;
        }
        if (userType == CKU_SO && sessions_.HasSessionInState(slot, CKS_RO_PUBLIC_SESSION))
            return LogResult(method, CKR_SESSION_READ_ONLY_EXISTS);
    } else {
        // Only the session that started the sign operation may unlock its key.
        if (!group->GetSignActive() || !group->GetAlwaysAuthenticate() || group->SignDetail().owner != hSession)
            rv = CKR_OPERATION_NOT_INITIALIZED;
        if (state == CKS_RW_SO_FUNCTIONS) return LogResult(method, CKR_USER_ANOTHER_ALREADY_LOGGED_IN);
    }
    if (rv != CKR_OK) return LogResult(method, rv);

    Locked<Core::ReaderCardPair> pair(readerCardPairs_.GetReaderCardPair(slot, true));
    if (!pair) return LogResult(method, CKR_FUNCTION_FAILED);

    const unsigned char* pin = pPin;
    unsigned long pinLength = ulPinLen;
    if (userType != CKU_SO && usesProtectedPath(pair.get())) {
        pin = kPlaceholderPin;
        pinLength = sizeof kPlaceholderPin;
        log->Info("    Apply flag CKF_PROTECTED_AUTHENTICATION_PATH");
    } else if (pPin == nullptr || ulPinLen == 0) {
        return LogResult(method, CKR_ARGUMENTS_BAD);
    }

    CardFrame frame(pair.get());
    if (!frame.IsOpen()) return LogResult(method, CKR_FUNCTION_FAILED);
    int authId = userType == CKU_SO ? Core::CardAuthIdSo : Core::CardAuthIdUser;
    int result = pair->Login(authId, pin, pinLength);
    if (result != Core::CoreOk) return LogResult(method, loginResult(pair.get(), result));

    if (userType == CKU_USER) group->SetLoginState(LoginStateUser);
    if (userType == CKU_SO) {
        group->SetLoginState(LoginStateSo);
        SoPinStore::Remember(group.get(), pin, pinLength);
    }
    group->WritePinToCache(pin, pinLength, pair.get());
    if (userType == CKU_CONTEXT_SPECIFIC) group->SetContextLoginDone(true);
    pair->Logout();
    return LogResult(method, CKR_OK);
}

CK_RV Pkcs11Provider::C_Logout(CK_SESSION_HANDLE hSession) {
    static const char* const method = "C_Logout";
    Core::Log* log = GetPkcs11Log();
    log->Info("Pkcs11Provider::C_Logout(0x%lX)", hSession);

    if (!initialised_) return LogResult(method, CKR_CRYPTOKI_NOT_INITIALIZED);
    if (hSession == 0) return LogResult(method, CKR_ARGUMENTS_BAD);
    Locked<Session> session(sessions_.GetSession(hSession, true));
    if (!session) return LogResult(method, CKR_SESSION_HANDLE_INVALID);

    if (isPublicState(session->GetState()))
        log->Warning("Pkcs11Provider::C_Logout(): uzivatel neni zalogovan (CKR_USER_NOT_LOGGED_IN); tuto chybu "
                     "ignoruji");

    // The group before the pair, as every other call takes them.
    Locked<SessionGroup> group(session->GetSessionGroup(true));
    if (!group) return LogResult(method, CKR_FUNCTION_FAILED);
    Locked<Core::ReaderCardPair> pair(readerCardPairs_.GetReaderCardPair(group->GetSlotID(), true));
    if (!pair) return LogResult(method, CKR_FUNCTION_FAILED);
    group->SetLoginState(LoginStatePublic);
    group->ClearPinCache(pair.get());
    SoPinStore::Forget(group.get());
    return LogResult(method, CKR_OK);
}

CK_RV Pkcs11Provider::C_PINPadPseudoLogin(CK_SESSION_HANDLE hSession) {
    static const char* const method = "C_PINPadPseudoLogin";
    GetPkcs11Log()->Info("Pkcs11Provider::C_PINPadPseudoLogin(0x%lX)", hSession);

    if (!initialised_) return LogResult(method, CKR_CRYPTOKI_NOT_INITIALIZED);
    if (hSession == 0) return LogResult(method, CKR_ARGUMENTS_BAD);
    CallFrame::Held held;
    CK_RV rv = CallFrame::TakeSessionAndGroup(this, hSession, held);
    if (rv != CKR_OK) return LogResult(method, rv);
    Locked<Session>& session = held.session;
    Locked<SessionGroup>& group = held.group;
    CK_SLOT_ID slot = held.slot;

    CK_STATE state = session->GetState();
    if (state == CKS_RW_SO_FUNCTIONS) return LogResult(method, CKR_USER_ANOTHER_ALREADY_LOGGED_IN);
    if (isUserState(state)) return LogResult(method, CKR_USER_ALREADY_LOGGED_IN);

    Locked<Core::ReaderCardPair> pair(readerCardPairs_.GetReaderCardPair(slot, true));
    if (!pair) return LogResult(method, CKR_FUNCTION_FAILED);
    group->SetLoginState(LoginStateUser);
    group->WritePinToCache(kPlaceholderPin, sizeof kPlaceholderPin, pair.get());
    return LogResult(method, CKR_OK);
}

CK_RV Pkcs11Provider::C_InitPIN(CK_SESSION_HANDLE hSession, CK_UTF8CHAR_PTR pPin, CK_ULONG ulPinLen) {
    static const char* const method = "C_InitPIN";
    Core::Log* log = GetPkcs11Log();
    log->Info("Pkcs11Provider::C_InitPIN(0x%lX, %p, %lu)", hSession, static_cast<void*>(pPin), ulPinLen);

    if (!initialised_) return LogResult(method, CKR_CRYPTOKI_NOT_INITIALIZED);
    if (hSession == 0 || pPin == nullptr || ulPinLen == 0) return LogResult(method, CKR_ARGUMENTS_BAD);
    if (ulPinLen < 4 || ulPinLen > 12) return LogResult(method, CKR_PIN_LEN_RANGE);

    CallFrame::Held held;
    CK_RV rv = CallFrame::TakeSession(this, hSession, held);
    if (rv != CKR_OK) return LogResult(method, rv);
    if (held.session->GetState() != CKS_RW_SO_FUNCTIONS) return LogResult(method, CKR_USER_NOT_LOGGED_IN);
    rv = CallFrame::TakeGroup(held);
    if (rv != CKR_OK) return LogResult(method, rv);
    Locked<SessionGroup>& group = held.group;
    CK_SLOT_ID slot = held.slot;

    Locked<Core::ReaderCardPair> pair(readerCardPairs_.GetReaderCardPair(slot, true));
    if (!pair) return LogResult(method, CKR_FUNCTION_FAILED);
    const Core::CardInfo* info = pair->GetCardInfo(true);
    if (info == nullptr) return LogResult(method, CKR_FUNCTION_FAILED);
    bool userPinInitialized = info->userPinInitialized == 1;

    CardFrame frame(pair.get());
    if (!frame.IsOpen()) return LogResult(method, CKR_FUNCTION_FAILED);
    int result;
    if (userPinInitialized) {
        // Unblock and set the user PIN with the SO PIN of the SO login. The cache holds
        // it until a C_InitPIN puts the new user PIN there; the SO PIN is kept aside so
        // that a second C_InitPIN does not offer the user PIN as the SO PIN.
        PinCopy soPin;
        CK_RV read = CKR_OK;
        if (!SoPinStore::Recall(group.get(), soPin.data, &soPin.length)) {
            soPin.length = sizeof soPin.data;
            read = group->ReadPinFromCache(soPin.data, &soPin.length, pair.get());
        }
        if (read != CKR_OK) {
            log->Error("    chyba pri ziskavani PINu z cache: 0x%lX", read);
            return LogResult(method, CKR_FUNCTION_FAILED);
        }
        result = pair->Login(Core::CardAuthIdSo, soPin.data, soPin.length);
        if (result != Core::CoreOk) {
            log->Error("    chyba pri zalogovani z PIN cache: 0x%X", result);
            return LogResult(method, CKR_FUNCTION_FAILED);
        }
        result = pair->ResetAuthCode(Core::CardAuthIdUser, soPin.data, soPin.length, pPin, ulPinLen);
        pair->Logout();
    } else {
        result = pair->InitAuthCode(Core::CardAuthIdUser, pPin, ulPinLen);
    }
    if (result != Core::CoreOk) return LogResult(method, PinChangeResult(pair.get(), result));

    group->WritePinToCache(pPin, ulPinLen, pair.get());
    return LogResult(method, CKR_OK);
}

CK_RV Pkcs11Provider::C_SetPIN(CK_SESSION_HANDLE hSession, CK_UTF8CHAR_PTR pOldPin, CK_ULONG ulOldLen,
                               CK_UTF8CHAR_PTR pNewPin, CK_ULONG ulNewLen) {
    static const char* const method = "C_SetPIN";
    GetPkcs11Log()->Info("Pkcs11Provider::C_SetPIN(0x%lX, %p, %lu, %p, %lu)", hSession,
                         static_cast<void*>(pOldPin), ulOldLen, static_cast<void*>(pNewPin), ulNewLen);

    if (!initialised_) return LogResult(method, CKR_CRYPTOKI_NOT_INITIALIZED);
    if (hSession == 0 || pOldPin == nullptr || ulOldLen == 0 || pNewPin == nullptr || ulNewLen == 0)
        return LogResult(method, CKR_ARGUMENTS_BAD);
    if (ulNewLen < 4 || ulNewLen > 12) return LogResult(method, CKR_PIN_LEN_RANGE);

    CallFrame::Held held;
    CK_RV rv = CallFrame::TakeSession(this, hSession, held);
    if (rv != CKR_OK) return LogResult(method, rv);
    CK_SLOT_ID slot = held.slot;
    CK_STATE state = held.session->GetState();
    if (state != CKS_RW_PUBLIC_SESSION && state != CKS_RW_USER_FUNCTIONS && state != CKS_RW_SO_FUNCTIONS)
        return LogResult(method, CKR_SESSION_READ_ONLY);

    // The group before the pair, as every other call takes them; a missing group fails
    // only after the PIN change.
    held.group.reset(held.session->GetSessionGroup(true));
    Locked<SessionGroup>& group = held.group;
    Locked<Core::ReaderCardPair> pair(readerCardPairs_.GetReaderCardPair(slot, true));
    if (!pair) return LogResult(method, CKR_FUNCTION_FAILED);

    int result;
    {
        CardFrame frame(pair.get());
        if (!frame.IsOpen()) return LogResult(method, CKR_FUNCTION_FAILED);
        int authId = state == CKS_RW_SO_FUNCTIONS ? Core::CardAuthIdSo : Core::CardAuthIdUser;
        result = pair->ChangeAuthCode(authId, pOldPin, ulOldLen, pNewPin, ulNewLen);
    }
    if (result != Core::CoreOk) return LogResult(method, PinChangeResult(pair.get(), result));
    if (!group) return LogResult(method, CKR_FUNCTION_FAILED);
    group->WritePinToCache(pNewPin, ulNewLen, pair.get());
    if (state == CKS_RW_SO_FUNCTIONS) SoPinStore::Remember(group.get(), pNewPin, ulNewLen);
    return LogResult(method, CKR_OK);
}

}  // namespace Pkcs11
}  // namespace Vellumcrest
