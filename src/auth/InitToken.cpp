// C_InitToken: sets the SO PIN of a new card, or erases an initialised one.

#include "auth/CardFrame.h"
#include "core/Log.h"
#include "module/Globals.h"
#include "module/Locked.h"
#include "module/Pkcs11Provider.h"
#include "module/ReturnValues.h"

namespace Vellumcrest {
namespace Pkcs11 {

namespace {

// The user PIN an erased card is logged in with; C_InitPIN sets the real one afterwards.
const unsigned char kInitialUserPin[8] = {'4', '7', '2', '1', '0', '9', '3', '5'};

}  // namespace

CK_RV Pkcs11Provider::PrepareUserPin(Core::ReaderCardPair* pair, CK_UTF8CHAR_PTR soPin, CK_ULONG soPinLen) {
    int result = pair->Login(Core::CardAuthIdSo, soPin, soPinLen);
    if (result != Core::CoreOk) return CoreErrorToCkRv(pair, result);

    const Core::CardInfo* info = pair->GetCardInfo(false);
    if (info == nullptr) return CKR_DEVICE_ERROR;
    bool userPinInitialized = info->userPinInitialized == 1;
    bool thirdCodeResettable = info->authCode3ResetEnabled != 0;

    // An initialised user PIN is unblocked and set to the initial PIN, so that the login
    // that follows knows it; keeping the holder's PIN would make that login fail.
    if (userPinInitialized)
        result = pair->ResetAuthCode(Core::CardAuthIdUser, soPin, soPinLen, kInitialUserPin, sizeof kInitialUserPin);
    else
        result = pair->InitAuthCode(Core::CardAuthIdUser, kInitialUserPin, sizeof kInitialUserPin);
    if (result != Core::CoreOk) return CoreErrorToCkRv(pair, result);

    if (!thirdCodeResettable) return CKR_OK;
    result = pair->ResetAuthCode(Core::CardAuthIdThird, soPin, soPinLen, nullptr, 0);
    return CoreErrorToCkRv(pair, result);
}

CK_RV Pkcs11Provider::C_InitToken(CK_SLOT_ID slotID, CK_UTF8CHAR_PTR pPin, CK_ULONG ulPinLen,
                                  CK_UTF8CHAR_PTR pLabel) {
    static const char* const method = "C_InitToken";
    Core::Log* log = GetPkcs11Log();
    log->Info("Pkcs11Provider::C_InitToken(0x%lX, %p, %lu, %p)", slotID, static_cast<void*>(pPin), ulPinLen,
              static_cast<void*>(pLabel));

    if (!initialised_) return LogResult(method, CKR_CRYPTOKI_NOT_INITIALIZED);
    if (slotID == 0 || pPin == nullptr || ulPinLen == 0) return LogResult(method, CKR_ARGUMENTS_BAD);
    if (ulPinLen < 4 || ulPinLen > 12) return LogResult(method, CKR_PIN_LEN_RANGE);

    CK_RV rv = VerifyKnownCardPresent(slotID);
    if (rv != CKR_OK) return LogResult(method, rv);
    if (sessions_.HasSessionOnSlot(slotID)) return LogResult(method, CKR_SESSION_EXISTS);

    Locked<Core::ReaderCardPair> pair(readerCardPairs_.GetReaderCardPair(slotID, true));
    if (!pair) return LogResult(method, CKR_FUNCTION_FAILED);
    const Core::CardInfo* info = pair->GetCardInfo(false);
    if (info == nullptr) return LogResult(method, CKR_DEVICE_ERROR);
    bool tokenInitialized = info->tokenInitialized == 1;
    bool thirdCodeActive = info->authCode3ResetEnabled != 0;

    CardFrame frame(pair.get());
    if (!frame.IsOpen()) return LogResult(method, CKR_FUNCTION_FAILED);

    if (!tokenInitialized) {
        int result = pair->InitAuthCode(Core::CardAuthIdSo, pPin, ulPinLen);
        if (result == Core::CoreOk) return LogResult(method, CKR_OK);
        if (result == Core::CoreCardNotPresent) return LogResult(method, CKR_TOKEN_NOT_PRESENT);
        if (result == Core::CoreSCardError)
            log->Error("WSC ERROR: 0x%lX", pair->GetLastSCardError());
        else
            log->Error("Core ERROR: %d", result);
        return LogResult(method, CKR_FUNCTION_FAILED);
    }

    rv = PrepareUserPin(pair.get(), pPin, ulPinLen);
    if (rv != CKR_OK) {
        pair->Logout();
        return LogResult(method, rv);
    }
    if (pair->Login(Core::CardAuthIdUser, kInitialUserPin, sizeof kInitialUserPin) != Core::CoreOk) {
        pair->Logout();
        return LogResult(method, CKR_FUNCTION_FAILED);
    }

    int result = pair->EraseCard(true);
    if (result != Core::CoreOk) {
        log->Error("Pkcs11Provider::C_InitToken():EraseCard(): chyba 0x%x", result);
        rv = CKR_FUNCTION_FAILED;
    } else {
        if (pair->DeactivateAuthCode(Core::CardAuthIdUser) != Core::CoreOk) rv = CKR_FUNCTION_FAILED;
        // A card without the third code has nothing to deactivate.
        if (thirdCodeActive && pair->DeactivateAuthCode(Core::CardAuthIdThird) != Core::CoreOk)
            rv = CKR_FUNCTION_FAILED;
    }
    pair->Logout();
    return LogResult(method, rv);
}

}  // namespace Pkcs11
}  // namespace Vellumcrest
