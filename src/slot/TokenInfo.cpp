// Token information and the mechanism queries (the table is crypto/Mechanisms).

#include <algorithm>
#include <cstring>

#include "core/Log.h"
#include "crypto/Mechanisms.h"
#include "module/ConfigPkcs11.h"
#include "module/Globals.h"
#include "module/Locked.h"
#include "module/Pkcs11Provider.h"

namespace Vellumcrest {
namespace Pkcs11 {

namespace {

// Blank-fills a text field and copies at most its size of text over it.
void setText(CK_UTF8CHAR* field, size_t size, const char* text, size_t textLength) {
    std::memset(field, ' ', size);
    std::memcpy(field, text, std::min(size, textLength));
}

}  // namespace

CK_RV Pkcs11Provider::C_GetTokenInfo(CK_SLOT_ID slotID, CK_TOKEN_INFO_PTR pInfo) {
    static const char* const method = "C_GetTokenInfo";
    Core::Log* log = GetPkcs11Log();
    log->Info("Pkcs11Provider::C_GetTokenInfo(0x%lX, %p)", slotID, static_cast<void*>(pInfo));

    if (!initialised_) return LogResult(method, CKR_CRYPTOKI_NOT_INITIALIZED);
    if (slotID == 0 || pInfo == nullptr) return LogResult(method, CKR_ARGUMENTS_BAD);

    Locked<Core::ReaderCardPair> pair(readerCardPairs_.GetReaderCardPair(slotID, true));
    if (!pair) return LogResult(method, CKR_FUNCTION_FAILED);
    pair->Refresh();  // the card in the reader now, not the one of the last listing
    // The core reports type 0 for an empty reader as well as for a card that is not ours; an
    // empty reader has no token, a foreign or unreadable card an unrecognised one.
    int cardType = pair->GetCardType();
    bool present = pair->IsSupportedCardPresent();
    if (cardType != 0 && (cardType < 1 || cardType > 4)) return LogResult(method, CKR_TOKEN_NOT_RECOGNIZED);
    if (!present)
        return LogResult(method, pair->IsUnrecognisedCardPresent() ? CKR_TOKEN_NOT_RECOGNIZED : CKR_TOKEN_NOT_PRESENT);
    if (cardType < 1 || cardType > 4) return LogResult(method, CKR_TOKEN_NOT_RECOGNIZED);
    const Core::CardInfo* card = pair->GetCardInfo(false);
    if (card == nullptr) return LogResult(method, CKR_DEVICE_ERROR);

    size_t idLength = strnlen(card->cardId, sizeof card->cardId);
    std::memset(pInfo->label, ' ', sizeof pInfo->label);
    std::memset(pInfo->serialNumber, ' ', sizeof pInfo->serialNumber);
    if (idLength == 32) {
        std::memcpy(pInfo->label, card->cardId + 16, 16);
        std::memcpy(pInfo->serialNumber, card->cardId + 16, 16);
    }
    static const char kManufacturer[] = "Orvo Card Technologies";
    setText(pInfo->manufacturerID, sizeof pInfo->manufacturerID, kManufacturer, sizeof kManufacturer - 1);
    setText(pInfo->model, sizeof pInfo->model, card->model, strnlen(card->model, sizeof card->model));

    CK_FLAGS flags = CKF_LOGIN_REQUIRED;
    bool protectedPath = false;
    Core::Reader* reader = pair->GetReader();
    if (GetConfigPkcs11()->GetProtectAuthPath() && reader != nullptr && reader->GetSpeEnabled()) {
        flags |= CKF_PROTECTED_AUTHENTICATION_PATH;
        protectedPath = true;
    }
    if (card->tokenInitialized == 1) flags |= CKF_TOKEN_INITIALIZED;
    if (card->userPinInitialized == 1) flags |= CKF_USER_PIN_INITIALIZED;
    if (card->userPinTriesLeft == 1) flags |= CKF_USER_PIN_FINAL_TRY;
    if (card->userPinBlocked == 1) flags |= CKF_USER_PIN_LOCKED;
    if (card->soPinTriesLeft == 1) flags |= CKF_SO_PIN_FINAL_TRY;
    if (card->soPinBlocked == 1) flags |= CKF_SO_PIN_LOCKED;
    if (card->userPinTriesLeft < 3) flags |= CKF_USER_PIN_COUNT_LOW;
    if (card->soPinTriesLeft < 5) flags |= CKF_SO_PIN_COUNT_LOW;
    pInfo->flags = flags;

    pInfo->ulMaxSessionCount = 0;
    pInfo->ulSessionCount = 0;
    pInfo->ulMaxRwSessionCount = 0;
    pInfo->ulRwSessionCount = 0;
    pInfo->ulMaxPinLen = std::max(card->pin1MaxLen, card->pin2MaxLen);
    pInfo->ulMinPinLen = std::min(card->pin1MinLen, card->pin2MinLen);
    pInfo->ulTotalPublicMemory =
        card->totalPublicMemory > 0 ? static_cast<CK_ULONG>(card->totalPublicMemory) : CK_UNAVAILABLE_INFORMATION;
    pInfo->ulFreePublicMemory =
        card->freePublicMemory > 0 ? static_cast<CK_ULONG>(card->freePublicMemory) : CK_UNAVAILABLE_INFORMATION;
    pInfo->ulTotalPrivateMemory = CK_UNAVAILABLE_INFORMATION;
    pInfo->ulFreePrivateMemory = CK_UNAVAILABLE_INFORMATION;
    pInfo->hardwareVersion.major = 3;
    pInfo->hardwareVersion.minor = cardType == 1 ? 0 : cardType == 2 ? 2 : 5;
    pInfo->firmwareVersion.major = card->firmwareMajor;
    pInfo->firmwareVersion.minor = card->firmwareMinor;
    std::memset(pInfo->utcTime, '0', sizeof pInfo->utcTime);
    pair.reset();

    if (protectedPath) log->Info("    Set flag CKF_PROTECTED_AUTHENTICATION_PATH");
    LogResult(method, CKR_OK);
    log->Info("    label: %.32s", reinterpret_cast<const char*>(pInfo->label));
    log->Info("    model: %.16s", reinterpret_cast<const char*>(pInfo->model));
    log->Info("    serial number: %.16s", reinterpret_cast<const char*>(pInfo->serialNumber));
    log->Info("    flags: token%s initialized, user PIN%s initialized, user PIN%s locked, SO PIN%s locked",
              (flags & CKF_TOKEN_INITIALIZED) ? "" : " not", (flags & CKF_USER_PIN_INITIALIZED) ? "" : " not",
              (flags & CKF_USER_PIN_LOCKED) ? "" : " not", (flags & CKF_SO_PIN_LOCKED) ? "" : " not");
    return CKR_OK;
}

CK_RV Pkcs11Provider::C_GetMechanismList(CK_SLOT_ID slotID, CK_MECHANISM_TYPE_PTR pMechanismList,
                                         CK_ULONG_PTR pulCount) {
    static const char* const method = "C_GetMechanismList";
    GetPkcs11Log()->Info("Pkcs11Provider::C_GetMechanismList(0x%lX, %p, %p)", slotID,
                         static_cast<void*>(pMechanismList), static_cast<void*>(pulCount));

    if (!initialised_) return LogResult(method, CKR_CRYPTOKI_NOT_INITIALIZED);
    if (slotID == 0 || pulCount == nullptr) return LogResult(method, CKR_ARGUMENTS_BAD);

    CK_RV rv = VerifyKnownCardPresent(slotID);
    if (rv != CKR_OK) return LogResult(method, rv);

    const CK_ULONG count = Mechanisms::List(nullptr);
    if (pMechanismList != nullptr && *pulCount < count) {
        *pulCount = count;
        return LogResult(method, CKR_BUFFER_TOO_SMALL);
    }
    if (pMechanismList != nullptr) Mechanisms::List(pMechanismList);
    *pulCount = count;
    return LogResult(method, CKR_OK);
}

CK_RV Pkcs11Provider::C_GetMechanismInfo(CK_SLOT_ID slotID, CK_MECHANISM_TYPE type, CK_MECHANISM_INFO_PTR pInfo) {
    static const char* const method = "C_GetMechanismInfo";
    GetPkcs11Log()->Info("Pkcs11Provider::C_GetMechanismInfo(0x%lX, 0x%lX, %p)", slotID, type,
                         static_cast<void*>(pInfo));

    if (!initialised_) return LogResult(method, CKR_CRYPTOKI_NOT_INITIALIZED);
    if (slotID == 0 || pInfo == nullptr) return LogResult(method, CKR_ARGUMENTS_BAD);

    CK_RV rv = VerifyKnownCardPresent(slotID);
    if (rv != CKR_OK) return LogResult(method, rv);

    const Mechanisms::Mechanism* entry = Mechanisms::Listed(type);
    if (entry == nullptr) return LogResult(method, CKR_MECHANISM_INVALID);
    pInfo->ulMinKeySize = entry->minKeyBits;
    pInfo->ulMaxKeySize = entry->maxKeyBits;
    pInfo->flags = entry->flags;
    return LogResult(method, CKR_OK);
}

}  // namespace Pkcs11
}  // namespace Vellumcrest
