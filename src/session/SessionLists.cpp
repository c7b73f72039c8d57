// The session list and the session-group list.
//
// Lock order: session list, then group list; an element's lock is never waited for while
// a list lock is held (look-ups only try it), so a thread holding a session or a group
// may call back into the lists. Closing removes an element under the list locks and
// destroys it afterwards, when no thread holds it any more.

#include <new>

#include "module/Locked.h"
#include "module/Pkcs11Provider.h"
#include "session/ElementLifetime.h"
#include "session/Session.h"

namespace Vellumcrest {
namespace Pkcs11 {

namespace {

// Marks an element that this thread holds (taken out of its list) closed and releases it,
// which destroys it unless this thread also holds it further up its stack. Without memory
// to mark it, an element held only here is destroyed at once; otherwise it stays
// allocated, out of reach.
template <typename T>
void closeHeld(T* element) noexcept {
    try {
        Lifetime::MarkClosed(element);
    } catch (const std::bad_alloc&) {
        if (element->HoldCount() == 1) delete element;  // its destructor releases the hold
        return;
    }
    element->Unlock();
}

// Destroys an element taken out of its list: now, when no other thread holds it (and
// this thread holds it no further up its stack), else at the holder's last Unlock. Never
// waits, so threads that close each other's sessions cannot deadlock.
template <typename T>
void destroyWhenFree(T* element) {
    if (element != nullptr && Lifetime::Claim(element)) closeHeld(element);
}

}  // namespace

// ---------------------------------------------------------------------------------------
// SessionList

SessionList::SessionList() = default;

// Sessions still open when the library is unloaded are freed (no card work is done).
SessionList::~SessionList() {
    Lifetime::Guard guard(listLock_);
    RemoveAndDestroyAll();
}

CK_SESSION_HANDLE SessionList::CreateSession(CK_SLOT_ID slotID, bool readWrite) {
    if (provider_ == nullptr) return 0;
    SessionGroupList* groups = provider_->GetSessionGroupList();
    Lifetime::Guard guard(listLock_);

    bool created = false;
    uint32_t groupHandle = groups->FindSessionGroupBySlot(slotID);
    if (groupHandle == 0) {
        groupHandle = groups->CreateSessionGroup(slotID);
        if (groupHandle == 0) return 0;
        created = true;
    }

    Session* session = new (std::nothrow) Session(readWrite, groupHandle, provider_);
    CK_SESSION_HANDLE handle = session != nullptr ? Add(session) : 0;
    if (handle == 0) {
        delete session;
        // A group made for this session alone would never be closed.
        if (created) groups->RemoveSessionGroup(groupHandle);
        return 0;
    }
    session->SetHandle(handle);
    return handle;
}

Session* SessionList::GetSession(CK_SESSION_HANDLE hSession, bool lock) {
    if (hSession == 0) return nullptr;
    for (unsigned attempt = 0;; ++attempt) {
        {
            Lifetime::Guard guard(listLock_);
            Session* session = FindObject(static_cast<unsigned long>(hSession));
            if (session == nullptr || !lock) return session;
            Lifetime::TryScope attemptLock;
            session->Lock();
            if (attemptLock.Taken()) return session;
        }
        Lifetime::Backoff(attempt);
    }
}

bool SessionList::CloseSession(CK_SESSION_HANDLE hSession) {
    if (hSession == 0 || provider_ == nullptr) return false;
    SessionGroupList* groups = provider_->GetSessionGroupList();

    Session* session = nullptr;
    uint32_t groupHandle = 0;
    bool lastOfGroup = true;
    SessionGroup* detached = nullptr;
    {
        Lifetime::Guard guard(listLock_);
        session = FindObject(static_cast<unsigned long>(hSession));
        if (session == nullptr) return false;
        groupHandle = session->GetSessionGroupHandle();
        Remove(static_cast<unsigned long>(hSession));

        unsigned long handle = 0;
        for (Session* other = GetFirst(handle); other != nullptr; other = GetNext(handle)) {
            if (other->GetSessionGroupHandle() == groupHandle) {
                lastOfGroup = false;
                break;
            }
        }
        if (lastOfGroup) {
            // Out of the group list while the session list is still locked, so that no
            // new session of the slot can join the group that is going away.
            detached = groups->DetachSessionGroup(groupHandle);
        }
    }

    // The session goes also when cleaning up its group fails.
    struct SessionEnd {
        Session* session;
        ~SessionEnd() {
            try {
                destroyWhenFree(session);
            } catch (...) {  // out of memory marking it: it stays allocated, unreachable
            }
        }
    } end{session};
    if (lastOfGroup) {
        // A group still in use elsewhere goes, with all its objects, when it is released.
        if (detached != nullptr && Lifetime::Claim(detached)) {
            try {
                detached->GetObjectList()->DestroySessionObjects(hSession);
            } catch (const std::bad_alloc&) {  // the group's end takes its objects anyway
            }
            closeHeld(detached);
        }
    } else {
        Locked<SessionGroup> group(groups->GetSessionGroup(groupHandle, true));
        if (group) {
            group->EndOperationsOf(hSession);
            group->GetObjectList()->DestroySessionObjects(hSession);
        }
    }
    return true;
}

bool SessionList::CloseAllSessions(CK_SLOT_ID slotID) {
    if (provider_ == nullptr) return true;
    CK_SESSION_HANDLE* handles = nullptr;
    size_t count = 0;
    {
        Lifetime::Guard guard(listLock_);
        uint32_t groupHandle = provider_->GetSessionGroupList()->FindSessionGroupBySlot(slotID);
        if (groupHandle == 0) return true;
        unsigned long handle = 0;
        for (Session* s = GetFirst(handle); s != nullptr; s = GetNext(handle))
            if (s->GetSessionGroupHandle() == groupHandle) ++count;
        if (count == 0) return true;
        handles = new (std::nothrow) CK_SESSION_HANDLE[count];
        if (handles == nullptr) return false;
        size_t filled = 0;
        handle = 0;
        for (Session* s = GetFirst(handle); s != nullptr && filled < count; s = GetNext(handle))
            if (s->GetSessionGroupHandle() == groupHandle) handles[filled++] = handle;
    }
    for (size_t i = 0; i < count; ++i) CloseSession(handles[i]);
    delete[] handles;
    return true;
}

bool SessionList::HasSessionOnSlot(CK_SLOT_ID slotID) {
    if (provider_ == nullptr) return false;
    Lifetime::Guard guard(listLock_);
    uint32_t groupHandle = provider_->GetSessionGroupList()->FindSessionGroupBySlot(slotID);
    if (groupHandle == 0) return false;
    unsigned long handle = 0;
    for (Session* s = GetFirst(handle); s != nullptr; s = GetNext(handle))
        if (s->GetSessionGroupHandle() == groupHandle) return true;
    return false;
}

bool SessionList::HasSessionInState(CK_SLOT_ID slotID, CK_STATE state) {
    if (provider_ == nullptr) return false;
    SessionGroupList* groups = provider_->GetSessionGroupList();
    uint32_t groupHandle = 0;
    bool anyReadOnly = false, anyReadWrite = false;
    {
        Lifetime::Guard guard(listLock_);
        groupHandle = groups->FindSessionGroupBySlot(slotID);
        if (groupHandle == 0) return false;
        unsigned long handle = 0;
        for (Session* s = GetFirst(handle); s != nullptr; s = GetNext(handle)) {
            if (s->GetSessionGroupHandle() != groupHandle) continue;
            if (s->IsReadWrite()) anyReadWrite = true; else anyReadOnly = true;
        }
    }
    if (!anyReadOnly && !anyReadWrite) return false;

    // The group's lock is taken without the session list locked.
    Locked<SessionGroup> group(groups->GetSessionGroup(groupHandle, true));
    if (!group) return false;
    uint32_t loginState = group->GetLoginState();
    group.reset();

    switch (state) {
    case CKS_RO_PUBLIC_SESSION:
        return anyReadOnly && loginState != LoginStateUser && loginState != LoginStateSo;
    case CKS_RW_PUBLIC_SESSION:
        return anyReadWrite && loginState != LoginStateUser && loginState != LoginStateSo;
    case CKS_RO_USER_FUNCTIONS:
        return anyReadOnly && loginState == LoginStateUser;
    case CKS_RW_USER_FUNCTIONS:
        return anyReadWrite && loginState == LoginStateUser;
    case CKS_RW_SO_FUNCTIONS:
        return loginState == LoginStateSo;
    default:
        return false;
    }
}

// ---------------------------------------------------------------------------------------
// SessionGroupList

SessionGroupList::SessionGroupList() = default;

// Groups still open when the library is unloaded are freed with their objects.
SessionGroupList::~SessionGroupList() {
    Lifetime::Guard guard(listLock_);
    RemoveAndDestroyAll();
}

uint32_t SessionGroupList::CreateSessionGroup(CK_SLOT_ID slotID) {
    SessionGroup* group = new (std::nothrow) SessionGroup(slotID, provider_);
    if (group == nullptr) return 0;
    unsigned long handle;
    {
        Lifetime::Guard guard(listLock_);
        handle = Add(group);
    }
    if (handle == 0) delete group;
    return static_cast<uint32_t>(handle);
}

SessionGroup* SessionGroupList::GetSessionGroup(uint32_t handle, bool lock) {
    if (handle == 0) return nullptr;
    for (unsigned attempt = 0;; ++attempt) {
        {
            Lifetime::Guard guard(listLock_);
            SessionGroup* group = FindObject(static_cast<unsigned long>(handle));
            if (group == nullptr || !lock) return group;
            Lifetime::TryScope attemptLock;
            group->Lock();
            if (attemptLock.Taken()) return group;
        }
        Lifetime::Backoff(attempt);
    }
}

uint32_t SessionGroupList::FindSessionGroupBySlot(CK_SLOT_ID slotID) {
    Lifetime::Guard guard(listLock_);
    unsigned long handle = 0;
    for (SessionGroup* g = GetFirst(handle); g != nullptr; g = GetNext(handle))
        if (g->GetSlotID() == slotID) return static_cast<uint32_t>(handle);
    return 0;
}

SessionGroup* SessionGroupList::DetachSessionGroup(uint32_t handle) {
    if (handle == 0) return nullptr;
    Lifetime::Guard guard(listLock_);
    SessionGroup* group = FindObject(static_cast<unsigned long>(handle));
    if (group != nullptr) Remove(static_cast<unsigned long>(handle));
    return group;
}

void SessionGroupList::RemoveSessionGroup(uint32_t handle) { destroyWhenFree(DetachSessionGroup(handle)); }

}  // namespace Pkcs11
}  // namespace Vellumcrest
