// Object search: template matching over the slot's object list, and
// C_FindObjectsInit / C_FindObjects / C_FindObjectsFinal.
#include <algorithm>
#include <cstring>
#include <mutex>
#include <new>
#include <vector>

#include "core/Log.h"
#include "diag/Names.h"
#include "module/Globals.h"
#include "module/Locked.h"
#include "module/Pkcs11Provider.h"
#include "module/ReturnValues.h"
#include "object/Pkcs11ObjectList.h"
#include "session/CallFrame.h"
#include "session/Session.h"

namespace Vellumcrest {
namespace Pkcs11 {
namespace {

const char kFindTitle[] = "hledaci sablona";

// Lowers the module log to error lines while a search reads attributes, so that the
// attribute lines are not written for every object compared. Nested and concurrent
// searches share one lowering; the last one to finish restores the level. A log that
// is switched off stays off.
class QuietLog {
public:
    QuietLog() {
        std::lock_guard<std::mutex> guard(mutex());
        if (depth()++ == 0) {
            saved() = GetPkcs11Log()->GetLevel();
            GetPkcs11Log()->SetLevel(std::min(saved(), static_cast<int>(Core::Log::LevelError)));
        }
    }
    ~QuietLog() {
        std::lock_guard<std::mutex> guard(mutex());
        if (--depth() == 0) GetPkcs11Log()->SetLevel(saved());
    }
    QuietLog(const QuietLog&) = delete;
    QuietLog& operator=(const QuietLog&) = delete;

private:
    static std::mutex& mutex() {
        static std::mutex instance;
        return instance;
    }
    static int& depth() {
        static int value = 0;
        return value;
    }
    static int& saved() {
        static int value = 0;
        return value;
    }
};

}  // namespace

// True when the object's value of the entry's type has exactly the entry's length and
// bytes. Attributes that cannot be read never match.
static bool attributeMatches(Pkcs11ObjectList* list, Core::CoreObject* object, const CK_ATTRIBUTE& entry,
                             Core::ReaderCardPair* pair) {
    Core::Log* log = GetPkcs11Log();
    CK_ATTRIBUTE probe = {entry.type, nullptr, 0};
    CK_RV rv;
    {
        QuietLog quiet;
        rv = list->GetPkcs11AttributeValue(object, &probe, pair);
    }
    if (rv == CKR_ATTRIBUTE_TYPE_INVALID || rv == CKR_ATTRIBUTE_VALUE_INVALID) rv = CKR_OK;
    if (rv != CKR_OK) return false;

    const CK_ULONG length = probe.ulValueLen;
    bool match = false;
    if (length != CK_UNAVAILABLE_INFORMATION && length == entry.ulValueLen &&
        (length == 0 || entry.pValue != nullptr)) {
        std::vector<unsigned char> buffer;
        try {
            buffer.resize(std::max<CK_ULONG>(length, 1));
        } catch (const std::bad_alloc&) {
            return false;
        }
        probe.pValue = buffer.data();
        probe.ulValueLen = length;
        {
            QuietLog quiet;
            rv = list->GetPkcs11AttributeValue(object, &probe, pair);
        }
        if (rv != CKR_OK) return false;
        match = probe.ulValueLen == length &&
                (length == 0 || std::memcmp(buffer.data(), entry.pValue, length) == 0);
    }
    log->Debug("        atribut (typ = %s) => shoda: %s", AttributeTypeName(entry.type), match ? "ANO!" : "ne");
    return match;
}

CK_RV Pkcs11ObjectList::FindNextMatchingObject(CK_OBJECT_HANDLE* position, const CK_ATTRIBUTE* pTemplate,
                                               CK_ULONG count, bool privateSession, Core::ReaderCardPair* pair) {
    Core::Log* log = GetPkcs11Log();
    if (position == nullptr) return CKR_ARGUMENTS_BAD;
    log->Info("Pkcs11ObjectList::FindNextMatchingObject(0x%lx, %p, %lu, %s, %p)", *position,
              static_cast<const void*>(pTemplate), count, privateSession ? "private_session" : "public_session",
              static_cast<void*>(pair));

    // An attribute that cannot be read only excludes its object; the walk goes on.
    const CK_RV rv = CKR_OK;
    unsigned long handle = *position;
    for (;;) {
        Locked<Core::CoreObject> object(handle == 0 ? GetFirst(handle, true) : GetNext(handle, true));
        if (!object || handle == 0) {
            handle = 0;
            break;
        }
        log->Debug("    prohledavam objekt: 0x%lx", handle);
        if (!privateSession && object->GetCoreObjectFlags().privateObject != 0) {
            log->Debug("        privatni objekt -> nemohu prohledat");
            continue;
        }
        bool match = true;
        if (pTemplate != nullptr) {
            for (CK_ULONG i = 0; i < count && match; ++i)
                match = attributeMatches(this, object.get(), pTemplate[i], pair);
        }
        if (match) break;
    }
    *position = handle;
    log->Info("Pkcs11ObjectList::FindNextMatchingObject() => %s", ReturnValueName(rv));
    log->Info("    handle: 0x%lx", handle);
    return rv;
}

CK_RV Pkcs11Provider::C_FindObjectsInit(CK_SESSION_HANDLE hSession, CK_ATTRIBUTE_PTR pTemplate, CK_ULONG ulCount) {
    Core::Log* log = GetPkcs11Log();
    log->Info("Pkcs11Provider::C_FindObjectsInit(0x%lX, %p, %lu)", hSession, static_cast<void*>(pTemplate),
              ulCount);
    CK_RV rv = CKR_OK;
    if (!IsInitialised()) {
        rv = CKR_CRYPTOKI_NOT_INITIALIZED;
    } else if (hSession == 0 || (pTemplate == nullptr && ulCount != 0)) {
        rv = CKR_ARGUMENTS_BAD;
    } else if (pTemplate != nullptr) {
        // A value that is said to have bytes but has no buffer cannot be copied or compared.
        for (CK_ULONG i = 0; i < ulCount; ++i)
            if (pTemplate[i].pValue == nullptr && pTemplate[i].ulValueLen != 0) rv = CKR_ARGUMENTS_BAD;
    }
    Pkcs11Template::LogTemplate(pTemplate, ulCount, kFindTitle, Core::Log::LevelInfo);
    if (rv != CKR_OK) return LogResult("C_FindObjectsInit", rv);

    rv = [&]() -> CK_RV {
        try {
            CallFrame::Held held;
            CK_RV check = CallFrame::TakeSessionAndGroup(this, hSession, held);
            if (check != CKR_OK) return check;
            Locked<SessionGroup>& group = held.group;
            if (group->GetFindState() != FindStateNone) return CKR_OPERATION_ACTIVE;
            Pkcs11ObjectList* list = group->GetObjectList();
            if (list == nullptr) return CKR_FUNCTION_FAILED;
            if (!list->IsLoaded(0)) {
                Locked<Core::ReaderCardPair> pair(CallFrame::LockPair(this, held.slot));
                if (!pair) return CKR_FUNCTION_FAILED;
                log->Info("    pridavam objekty do seznamu");
                CK_RV loaded = list->AddAllObjectsFromCard(pair.get());
                if (loaded != CKR_OK) return loaded;
            }
            if (!group->SetFindTemplate(pTemplate, ulCount)) return CKR_HOST_MEMORY;
            group->SetFindPosition(0);
            group->SetFindState(FindStateInitialised);
            return CKR_OK;
        } catch (const std::bad_alloc&) {
            return CKR_HOST_MEMORY;
        }
    }();
    return LogResult("C_FindObjectsInit", rv);
}

CK_RV Pkcs11Provider::C_FindObjects(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE_PTR phObject,
                                    CK_ULONG ulMaxObjectCount, CK_ULONG_PTR pulObjectCount) {
    Core::Log* log = GetPkcs11Log();
    log->Info("Pkcs11Provider::C_FindObjects(0x%lX, %p, %lu, %p)", hSession, static_cast<void*>(phObject),
              ulMaxObjectCount, static_cast<void*>(pulObjectCount));
    if (!IsInitialised()) return LogResult("C_FindObjects", CKR_CRYPTOKI_NOT_INITIALIZED);
    if (hSession == 0 || phObject == nullptr || pulObjectCount == nullptr)
        return LogResult("C_FindObjects", CKR_ARGUMENTS_BAD);

    CK_ULONG found = 0;
    CK_RV rv = [&]() -> CK_RV {
        try {
            CallFrame::Held held;
            CK_RV check = CallFrame::FindSession(this, hSession, held);
            if (check != CKR_OK) return check;
            {
                Locked<SessionGroup> group(held.session->GetSessionGroup(true));
                if (!group) return CKR_FUNCTION_FAILED;
                if (group->GetFindState() == FindStateNone) return CKR_OPERATION_NOT_INITIALIZED;
            }
            // The group is not held during the card check, which may close the slot's sessions.
            check = VerifyKnownCardPresent(held.slot);
            if (check == CKR_OK) check = CallFrame::TakeGroup(held);
            if (check != CKR_OK) return check;
            Locked<SessionGroup>& group = held.group;
            if (group->GetFindState() == FindStateNone) return CKR_OPERATION_NOT_INITIALIZED;
            Pkcs11ObjectList* list = group->GetObjectList();
            if (list == nullptr) return CKR_FUNCTION_FAILED;
            Locked<Core::ReaderCardPair> pair(CallFrame::LockPair(this, held.slot));
            if (!pair) return CKR_FUNCTION_FAILED;

            *pulObjectCount = 0;
            CK_OBJECT_HANDLE position = group->GetFindPosition();
            if (group->GetFindState() != FindStateInitialised && position == 0) return CKR_OK;

            Pkcs11Template::LogTemplate(group->GetFindTemplate(), group->GetFindTemplateCount(), kFindTitle,
                                        Core::Log::LevelInfo);
            CK_STATE state = held.session->GetState();
            bool privateSession = state != CKS_RO_PUBLIC_SESSION && state != CKS_RW_PUBLIC_SESSION;

            CK_RV result = CKR_OK;
            while (found < ulMaxObjectCount) {
                result = list->FindNextMatchingObject(&position, group->GetFindTemplate(),
                                                      group->GetFindTemplateCount(), privateSession, pair.get());
                if (position == 0 || result != CKR_OK) break;
                phObject[found++] = position;
                *pulObjectCount = found;
            }
            group->SetFindPosition(position);
            // A call that asks for no objects leaves a fresh search at its start.
            if (ulMaxObjectCount != 0) group->SetFindState(FindStateRunning);
            return result;
        } catch (const std::bad_alloc&) {
            return CKR_HOST_MEMORY;
        }
    }();
    LogResult("C_FindObjects", rv);
    if (rv == CKR_OK) log->Info("    ulObjectsCount: %lu", found);
    return rv;
}

CK_RV Pkcs11Provider::C_FindObjectsFinal(CK_SESSION_HANDLE hSession) {
    GetPkcs11Log()->Info("Pkcs11Provider::C_FindObjectsFinal(0x%lX)", hSession);
    if (!IsInitialised()) return LogResult("C_FindObjectsFinal", CKR_CRYPTOKI_NOT_INITIALIZED);
    if (hSession == 0) return LogResult("C_FindObjectsFinal", CKR_ARGUMENTS_BAD);

    CK_RV rv = [&]() -> CK_RV {
        CallFrame::Held held;
        CK_RV check = CallFrame::TakeSessionAndGroup(this, hSession, held);
        if (check != CKR_OK) return check;
        Locked<SessionGroup>& group = held.group;
        if (group->GetFindState() == FindStateNone) return CKR_OPERATION_NOT_INITIALIZED;
        group->SetFindState(FindStateNone);
        group->ClearFindTemplate();
        group->SetFindPosition(0);
        return CKR_OK;
    }();
    return LogResult("C_FindObjectsFinal", rv);
}

}  // namespace Pkcs11
}  // namespace Vellumcrest
