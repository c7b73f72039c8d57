// Slot listing, slot information, slot events and the card-change check.

#include <cstring>

#include "core/Log.h"
#include "module/Globals.h"
#include "module/Locked.h"
#include "module/Pkcs11Provider.h"

namespace Vellumcrest {
namespace Pkcs11 {

namespace {

bool isSupportedCardType(int type) { return type >= 1 && type <= 4; }

}  // namespace

CK_RV Pkcs11Provider::C_GetSlotList(CK_BBOOL tokenPresent, CK_SLOT_ID_PTR pSlotList, CK_ULONG_PTR pulCount) {
    return C_GetSlotListEx(tokenPresent, pSlotList, pulCount, CK_FALSE);
}

CK_RV Pkcs11Provider::C_GetSlotListEx(CK_BBOOL tokenPresent, CK_SLOT_ID_PTR pSlotList, CK_ULONG_PTR pulCount,
                                      CK_BBOOL invalidateCache) {
    static const char* const method = "C_GetSlotListEx";
    Core::Log* log = GetPkcs11Log();
    log->Info("Pkcs11Provider::C_GetSlotListEx(%s, %p, %p, %s)", tokenPresent ? "true" : "false",
              static_cast<void*>(pSlotList), static_cast<void*>(pulCount), invalidateCache ? "true" : "false");

    if (!initialised_) return LogResult(method, CKR_CRYPTOKI_NOT_INITIALIZED);
    if (pulCount == nullptr) return LogResult(method, CKR_ARGUMENTS_BAD);

    int update = readerCardPairs_.Update(invalidateCache != CK_FALSE);
    if (update != Core::CoreOk)
        return LogResult(method, update == Core::CoreOutOfMemory ? CKR_HOST_MEMORY : CKR_FUNCTION_FAILED);

    const CK_ULONG capacity = *pulCount;
    CK_ULONG count = 0;
    CK_RV rv = CKR_OK;
    // A snapshot of the slots: the walk goes on past a slot that another listing takes out.
    for (unsigned long slot : readerCardPairs_.GetHandles()) {
        Locked<Core::ReaderCardPair> pair(readerCardPairs_.GetReaderCardPair(slot, true));
        if (!pair) continue;  // taken out meanwhile: its reader is gone
        bool hasToken = false;
        bool closeSessions = false;
        if (invalidateCache) {
            log->Info("Pkcs11Provider::C_GetSlotList(): vyzadovano zneplatneni cache, mazu vsechny prislusne "
                      "sessiony a jejich objekty");
            closeSessions = true;
        }
        bool validReader = pair->IsValidReader();
        if (!validReader) {
            log->Warning("Pkcs11Provider::C_GetSlotList(): ctecka odpojena, mazu vsechny prislusne sessiony a "
                         "jejich objekty");
            closeSessions = true;
        } else if (pair->IsSupportedCardPresent()) {
            log->Info("Pkcs11Provider::C_GetSlotList(): detekovana karta ve ctecce");
            Core::Reader* reader = pair->GetReader();
            if (reader != nullptr && reader->GetCardChanged()) {
                log->Warning("Pkcs11Provider::C_GetSlotList(): zmenena karta ve ctecce, mazu vsechny prislusne "
                             "sessiony a jejich objekty");
                closeSessions = true;
            } else {
                log->Info("Pkcs11Provider::C_GetSlotList(): karta nebyla ve ctecce zmenena");
            }
            hasToken = true;
        } else {
            log->Warning("Pkcs11Provider::C_GetSlotList(): odstranena karta ze ctecky, mazu vsechny prislusne "
                         "sessiony a jejich objekty");
            closeSessions = true;
        }
        pair.reset();
        // Never with the pair locked: closing takes the session and group locks.
        if (closeSessions) sessions_.CloseAllSessions(slot);
        // A reader that is gone leaves the list once no session refers to its slot, so that
        // readers seen once do not pile up.
        if (!validReader && !sessions_.HasSessionOnSlot(slot)) readerCardPairs_.RemoveVanishedReader(slot);

        bool listed = tokenPresent ? hasToken : validReader;
        if (!listed) continue;
        ++count;
        if (pSlotList != nullptr) {
            if (capacity >= count)
                pSlotList[count - 1] = slot;
            else
                rv = CKR_BUFFER_TOO_SMALL;
        }
    }
    *pulCount = count;

    LogResult(method, rv);
    if (rv == CKR_OK) log->Info("    ulCount: %lu", *pulCount);
    return rv;
}

CK_RV Pkcs11Provider::C_GetSlotInfo(CK_SLOT_ID slotID, CK_SLOT_INFO_PTR pInfo) {
    static const char* const method = "C_GetSlotInfo";
    Core::Log* log = GetPkcs11Log();
    log->Info("Pkcs11Provider::C_GetSlotInfo(0x%lX, %p)", slotID, static_cast<void*>(pInfo));

    if (!initialised_) return LogResult(method, CKR_CRYPTOKI_NOT_INITIALIZED);
    if (slotID == 0 || pInfo == nullptr) return LogResult(method, CKR_ARGUMENTS_BAD);

    Locked<Core::ReaderCardPair> pair(readerCardPairs_.GetReaderCardPair(slotID, true));
    if (!pair) return LogResult(method, CKR_SLOT_ID_INVALID);
    // Presence as it is now, not as of the last listing: applications poll this call after
    // a slot event. Nothing is acknowledged, so sessions of a changed card still go at the
    // next listing or card check.
    pair->Refresh();

    CK_RV rv = CKR_OK;
    Core::Reader* reader = pair->GetReader();
    if (reader != nullptr) {
        std::memset(pInfo->slotDescription, ' ', sizeof pInfo->slotDescription);
        const char* name = reader->GetReaderName();
        size_t length = name != nullptr ? strnlen(name, sizeof pInfo->slotDescription) : 0;
        std::memcpy(pInfo->slotDescription, name, length);
    } else {
        rv = CKR_FUNCTION_FAILED;
    }
    std::memset(pInfo->manufacturerID, ' ', sizeof pInfo->manufacturerID);
    bool present = pair->IsSupportedCardPresent();
    pInfo->flags = CKF_REMOVABLE_DEVICE | CKF_HW_SLOT | (present ? CKF_TOKEN_PRESENT : 0);
    pInfo->hardwareVersion.major = 0;
    pInfo->hardwareVersion.minor = 0;
    pInfo->firmwareVersion.major = 0;
    pInfo->firmwareVersion.minor = 0;
    pair.reset();

    LogResult(method, rv);
    if (rv == CKR_OK) {
        log->Info("    description: %.64s", reinterpret_cast<const char*>(pInfo->slotDescription));
        log->Info("    token present: %s", present ? "true" : "false");
    }
    return rv;
}

CK_RV Pkcs11Provider::C_WaitForSlotEvent(CK_FLAGS flags, CK_SLOT_ID_PTR pSlot, CK_VOID_PTR pReserved) {
    static const char* const method = "C_WaitForSlotEvent";
    Core::Log* log = GetPkcs11Log();
    log->Info("Pkcs11Provider::C_WaitForSlotEvent(0x%lX, %p, 0x%lX)", flags, static_cast<void*>(pSlot),
              reinterpret_cast<unsigned long>(pReserved));

    // Taken before the initialised check: a C_Finalize after that check still ends the wait.
    const unsigned long cancelCount = monitor_.CancelCount();
    CK_RV rv;
    if ((flags & ~static_cast<CK_FLAGS>(CKF_DONT_BLOCK)) != 0 || pSlot == nullptr)
        rv = CKR_ARGUMENTS_BAD;
    else
        rv = initialised_ ? CKR_OK : CKR_CRYPTOKI_NOT_INITIALIZED;
    if (pReserved != nullptr) rv = CKR_ARGUMENTS_BAD;

    if (flags & CKF_DONT_BLOCK) {
        log->Error("Flag CKF_DONT_BLOCK not supported.");
        rv = CKR_ARGUMENTS_BAD;
    } else if (rv == CKR_OK) {
        unsigned long slot = 0;
        int result = monitor_.Run(&readerCardPairs_, &slot, true, cancelCount);
        if (result > 0) {
            *pSlot = slot;
            rv = CKR_OK;
        } else if (result == 0) {
            rv = CKR_NO_EVENT;
        } else if (result == -1 && !initialised_) {
            rv = CKR_CRYPTOKI_NOT_INITIALIZED;
        } else {
            rv = CKR_GENERAL_ERROR;
        }
    }
    return LogResult(method, rv);
}

CK_RV Pkcs11Provider::C_GetReaderCardPair(CK_SLOT_ID slotID, Core::ReaderCardPair** ppPair) {
    if (ppPair == nullptr) return CKR_ARGUMENTS_BAD;
    CK_RV rv = VerifyKnownCardPresent(slotID);
    if (rv != CKR_OK) return rv;
    *ppPair = readerCardPairs_.GetReaderCardPair(slotID, true);
    return CKR_OK;
}

CK_RV Pkcs11Provider::VerifyKnownCardPresent(CK_SLOT_ID slotID) {
    CK_RV rv;
    Locked<Core::ReaderCardPair> pair(slotID != 0 ? readerCardPairs_.GetReaderCardPair(slotID, true) : nullptr);
    if (!pair) {
        rv = CKR_SLOT_ID_INVALID;
    } else {
        pair->Refresh();
        rv = isSupportedCardType(pair->GetCardType()) ? CKR_OK : CKR_TOKEN_NOT_RECOGNIZED;
        bool changed = false;
        if (pair->IsSupportedCardPresent()) {
            Core::Reader* reader = pair->GetReader();
            bool reported = false;
            changed = reader != nullptr && reader->UpdateReaderState(&reported) == Core::CoreOk && reported;
        } else {
            rv = CKR_TOKEN_NOT_PRESENT;
        }
        pair.reset();
        // A change matters to the sessions of the slot; without any, the new card is simply
        // the one the next session opens on.
        if (rv == CKR_OK && changed && sessions_.HasSessionOnSlot(slotID)) rv = CKR_DEVICE_REMOVED;
        if (rv == CKR_OK) return CKR_OK;
    }
    GetPkcs11Log()->Warning("Pkcs11Provider::VerifyKnownCardPresent(): odstranena/zmenena karta ve ctecce, mazu "
                            "vsechny prislusne sessiony a jejich objekty");
    sessions_.CloseAllSessions(slotID);
    return rv;
}

}  // namespace Pkcs11
}  // namespace Vellumcrest
