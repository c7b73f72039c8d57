// The preamble of every provider method on a session: look the session up locked, catch a
// session closed by another thread meanwhile, check the slot's card, take the session group.
#pragma once

#include "module/Locked.h"
#include "module/Pkcs11Provider.h"
#include "session/Session.h"
#include "vellumcrest/pkcs11.h"

namespace Vellumcrest {
namespace Pkcs11 {
namespace CallFrame {

// What a call on a session holds: the session, then its group. Members unlock in
// reverse order (group first).
struct Held {
    Locked<Session> session;
    Locked<SessionGroup> group;
    CK_SLOT_ID slot = 0;
};

// FindSession looks the session up locked; TakeSession also checks the slot's card. On a failed card check the
// slot's sessions are closed, this one included; a closed session is destroyed at its
// last Unlock, which the holder still does, and is not used otherwise.
inline CK_RV FindSession(Pkcs11Provider* provider, CK_SESSION_HANDLE hSession, Held& held) {
    Session* session = provider->GetSessionList()->GetSession(hSession, true);
    if (session == nullptr) return CKR_SESSION_HANDLE_INVALID;
    held.session.reset(session);
    held.slot = session->GetSlotID();
    return held.slot == 0 ? CKR_SESSION_HANDLE_INVALID : CKR_OK;  // 0: closed by another thread meanwhile
}

inline CK_RV TakeSession(Pkcs11Provider* provider, CK_SESSION_HANDLE hSession, Held& held) {
    CK_RV rv = FindSession(provider, hSession, held);
    return rv == CKR_OK ? provider->VerifyKnownCardPresent(held.slot) : rv;
}

// True when a normal user is logged in on the session's slot.
inline bool UserLoggedIn(Held& held) {
    CK_STATE state = held.session->GetState();
    return state == CKS_RO_USER_FUNCTIONS || state == CKS_RW_USER_FUNCTIONS;
}

// Takes the session's group locked; CKR_FUNCTION_FAILED when there is none.
inline CK_RV TakeGroup(Held& held) {
    held.group.reset(held.session->GetSessionGroup(true));
    return held.group ? CKR_OK : CKR_FUNCTION_FAILED;
}

// TakeSession, then TakeGroup: the frame of the calls that need no check between.
inline CK_RV TakeSessionAndGroup(Pkcs11Provider* provider, CK_SESSION_HANDLE hSession, Held& held) {
    CK_RV rv = TakeSession(provider, hSession, held);
    return rv == CKR_OK ? TakeGroup(held) : rv;
}

// The slot's reader/card pair, locked; null when it cannot be had.
inline Core::ReaderCardPair* LockPair(Pkcs11Provider* provider, CK_SLOT_ID slot) {
    return provider->GetReaderCardPairList()->GetReaderCardPair(slot, true);
}

}  // namespace CallFrame
}  // namespace Pkcs11
}  // namespace Vellumcrest
