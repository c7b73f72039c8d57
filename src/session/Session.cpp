
#include "session/Session.h"

#include <openssl/crypto.h>

#include <cstring>
#include <map>
#include <mutex>
#include <new>
#include <unordered_set>

#include "module/Globals.h"
#include "module/Pkcs11Provider.h"
#include "module/ReturnValues.h"
#include "session/ElementLifetime.h"
#include "session/SoPinStore.h"

namespace Vellumcrest {
namespace Pkcs11 {

// ---------------------------------------------------------------------------------------
// Lifetime helpers

namespace Lifetime {
namespace {

// Keys of types local to this file keep the container's code out of the library's exports.
struct ClosedKey {
    const void* element;
    bool operator==(const ClosedKey& other) const { return element == other.element; }
};
struct ClosedKeyHash {
    size_t operator()(const ClosedKey& key) const { return std::hash<const void*>()(key.element); }
};

std::unordered_set<ClosedKey, ClosedKeyHash>& closedSet() {
    static std::unordered_set<ClosedKey, ClosedKeyHash> set;
    return set;
}

thread_local int tryDepth = 0;
thread_local bool tryTaken = false;

template <typename T>
bool claim(T* element) {
    std::lock_guard<std::mutex> guard(ClosedMutex());
    TryScope attempt;
    element->Lock();
    if (attempt.Taken()) return true;
    // The holder cannot release its last hold meanwhile: that needs ClosedMutex().
    closedSet().insert(ClosedKey{element});
    return false;
}

}  // namespace

std::mutex& ClosedMutex() {
    static std::mutex mutex;
    return mutex;
}

bool Claim(Session* element) { return claim(element); }

bool Claim(SessionGroup* element) { return claim(element); }

void MarkClosed(const void* element) {
    std::lock_guard<std::mutex> guard(ClosedMutex());
    closedSet().insert(ClosedKey{element});
}

bool TakeClosedHeld(const void* element) { return closedSet().erase(ClosedKey{element}) != 0; }

TryScope::TryScope() {
    ++tryDepth;
    tryTaken = false;
}

TryScope::~TryScope() { --tryDepth; }

bool TryScope::Taken() const { return tryTaken; }

bool TryModeActive() { return tryDepth > 0; }

void ReportTry(bool taken) { tryTaken = taken; }

}  // namespace Lifetime

// ---------------------------------------------------------------------------------------
// SO PIN of an SO login

namespace SoPinStore {
namespace {

std::mutex& storeMutex() {
    static std::mutex mutex;
    return mutex;
}

struct KeptPin {
    unsigned char data[64];
    unsigned long length;
};
struct GroupKey {
    const SessionGroup* group;
    bool operator<(const GroupKey& other) const { return std::less<const SessionGroup*>()(group, other.group); }
};

std::map<GroupKey, KeptPin>& store() {
    static std::map<GroupKey, KeptPin> pins;
    return pins;
}

void wipe(KeptPin& pin) {
    OPENSSL_cleanse(pin.data, sizeof pin.data);
    pin.length = 0;
}

}  // namespace

void Remember(const SessionGroup* group, const unsigned char* pin, unsigned long length) {
    std::lock_guard<std::mutex> guard(storeMutex());
    KeptPin& kept = store()[GroupKey{group}];
    wipe(kept);
    if (pin == nullptr || length > sizeof kept.data) return;  // longer than any PIN a card takes
    std::memcpy(kept.data, pin, length);
    kept.length = length;
}

bool Recall(const SessionGroup* group, unsigned char* buffer, unsigned long* length) {
    std::lock_guard<std::mutex> guard(storeMutex());
    auto found = store().find(GroupKey{group});
    if (found == store().end() || found->second.length == 0 || found->second.length > *length) return false;
    std::memcpy(buffer, found->second.data, found->second.length);
    *length = found->second.length;
    return true;
}

void Forget(const SessionGroup* group) {
    std::lock_guard<std::mutex> guard(storeMutex());
    auto found = store().find(GroupKey{group});
    if (found == store().end()) return;
    wipe(found->second);
    store().erase(found);
}

}  // namespace SoPinStore

// ---------------------------------------------------------------------------------------
// Session

Session::Session(bool readWrite, uint32_t groupHandle, Pkcs11Provider* provider)
    : readWrite_(readWrite), groupHandle_(groupHandle), provider_(provider) {}

Session::~Session() {
    while (holdCount_ > 0) {
        --holdCount_;
        lock_.Unlock();
    }
}

void Session::Lock() {
    if (Lifetime::TryModeActive()) {
        bool taken = lock_.TryLock();
        if (taken) ++holdCount_;
        Lifetime::ReportTry(taken);
        return;
    }
    lock_.Lock();
    ++holdCount_;
}

void Session::Unlock() {
    if (holdCount_ <= 0) return;
    if (--holdCount_ > 0) {
        lock_.Unlock();
        return;
    }
    if (Lifetime::ReleaseLast(this, [this] { lock_.Unlock(); })) delete this;
}

SessionGroup* Session::GetSessionGroup(bool lock) {
    if (provider_ == nullptr) return nullptr;
    return provider_->GetSessionGroupList()->GetSessionGroup(groupHandle_, lock);
}

CK_SLOT_ID Session::GetSlotID() {
    SessionGroup* group = GetSessionGroup(true);
    if (group == nullptr) return 0;
    CK_SLOT_ID slot = group->GetSlotID();
    group->Unlock();
    return slot;
}

CK_STATE Session::GetState() {
    uint32_t loginState = LoginStatePublic;
    SessionGroup* group = GetSessionGroup(true);
    if (group != nullptr) {
        loginState = group->GetLoginState();
        group->Unlock();
    }
    switch (loginState) {
    case LoginStateUser:
        return readWrite_ ? CKS_RW_USER_FUNCTIONS : CKS_RO_USER_FUNCTIONS;
    case LoginStateSo:
        return CKS_RW_SO_FUNCTIONS;
    default:
        return readWrite_ ? CKS_RW_PUBLIC_SESSION : CKS_RO_PUBLIC_SESSION;
    }
}

// ---------------------------------------------------------------------------------------
// SessionGroup

SessionGroup::SessionGroup(CK_SLOT_ID slotID, Pkcs11Provider* provider)
    : slotID_(slotID), provider_(provider) {
    objectList_.SetOwner(this, provider);
}

SessionGroup::~SessionGroup() {
    SoPinStore::Forget(this);
    delete digestHash_;
    digestHash_ = nullptr;
    delete signHash_;
    signHash_ = nullptr;
    delete verifyHash_;
    verifyHash_ = nullptr;
    ClearFindTemplate();
    while (holdCount_ > 0) {
        --holdCount_;
        lock_.Unlock();
    }
    // The object list is destroyed with the members.
}

void SessionGroup::Lock() {
    if (Lifetime::TryModeActive()) {
        bool taken = lock_.TryLock();
        if (taken) ++holdCount_;
        Lifetime::ReportTry(taken);
        return;
    }
    lock_.Lock();
    ++holdCount_;
}

void SessionGroup::Unlock() {
    if (holdCount_ == 0) return;
    if (--holdCount_ > 0) {
        lock_.Unlock();
        return;
    }
    if (Lifetime::ReleaseLast(this, [this] { lock_.Unlock(); })) delete this;
}

void SessionGroup::SetDigestHash(Core::Hash* hash) {
    if (digestHash_ != hash) delete digestHash_;
    digestHash_ = hash;
}

void SessionGroup::SetSignHash(Core::Hash* hash) {
    if (signHash_ != hash) delete signHash_;
    signHash_ = hash;
}

void SessionGroup::SetVerifyHash(Core::Hash* hash) {
    if (verifyHash_ != hash) delete verifyHash_;
    verifyHash_ = hash;
}

void SessionGroup::EndDigest() {
    digestActive_ = false;
    SetDigestHash(nullptr);
    digestDetail_ = OperationDetail();
}

void SessionGroup::EndSign() {
    signActive_ = false;
    signKey_ = 0;
    SetSignHash(nullptr);
    alwaysAuthenticate_ = false;
    contextLoginDone_ = false;
    signDetail_ = OperationDetail();
}

void SessionGroup::EndVerify() {
    verifyActive_ = false;
    verifyKey_ = 0;
    SetVerifyHash(nullptr);
    verifyDetail_ = OperationDetail();
}

void SessionGroup::EndEncrypt() {
    encryptActive_ = false;
    encryptKey_ = 0;
    encryptDetail_ = OperationDetail();
}

void SessionGroup::EndDecrypt() {
    decryptActive_ = false;
    decryptKey_ = 0;
    decryptDetail_ = OperationDetail();
}

void SessionGroup::EndOperationsOf(CK_SESSION_HANDLE hSession) {
    if (hSession == 0) return;
    if (digestActive_ && digestDetail_.owner == hSession) EndDigest();
    if (signActive_ && signDetail_.owner == hSession) EndSign();
    if (verifyActive_ && verifyDetail_.owner == hSession) EndVerify();
    if (encryptActive_ && encryptDetail_.owner == hSession) EndEncrypt();
    if (decryptActive_ && decryptDetail_.owner == hSession) EndDecrypt();
}

bool SessionGroup::SetFindTemplate(const CK_ATTRIBUTE* pTemplate, CK_ULONG count) {
    ClearFindTemplate();
    if (count == 0) return true;
    if (pTemplate == nullptr || count > 0xFFFFFFFFUL) return false;
    CK_ATTRIBUTE* copy = new (std::nothrow) CK_ATTRIBUTE[count];
    if (copy == nullptr) return false;
    for (CK_ULONG i = 0; i < count; ++i) {
        copy[i].type = pTemplate[i].type;
        copy[i].ulValueLen = pTemplate[i].ulValueLen;
        copy[i].pValue = nullptr;
    }
    for (CK_ULONG i = 0; i < count; ++i) {
        // An entry without a value stays without one; its length is kept as given.
        if (pTemplate[i].pValue == nullptr || pTemplate[i].ulValueLen == 0) continue;
        unsigned char* value = new (std::nothrow) unsigned char[pTemplate[i].ulValueLen];
        if (value == nullptr) {
            for (CK_ULONG j = 0; j < i; ++j) delete[] static_cast<unsigned char*>(copy[j].pValue);
            delete[] copy;
            return false;
        }
        std::memcpy(value, pTemplate[i].pValue, pTemplate[i].ulValueLen);
        copy[i].pValue = value;
    }
    findTemplate_ = copy;
    findTemplateCount_ = static_cast<uint32_t>(count);
    return true;
}

void SessionGroup::ClearFindTemplate() {
    if (findTemplate_ != nullptr) {
        for (uint32_t i = 0; i < findTemplateCount_; ++i)
            delete[] static_cast<unsigned char*>(findTemplate_[i].pValue);
        delete[] findTemplate_;
    }
    findTemplate_ = nullptr;
    findTemplateCount_ = 0;
}

// ---------------------------------------------------------------------------------------
// PIN cache of a reader/card pair

CK_RV SessionGroup::LoginFromPINCache(int authId, Core::ReaderCardPair* pair) {
    Core::Log* log = GetPkcs11Log();
    unsigned char pin[16];
    unsigned long length = sizeof pin;
    int read = pair != nullptr ? pair->GetPinCache()->Read(pin, &length) : Core::CoreNotFound;
    if (pair == nullptr || (read != Core::CoreOk && read != Core::CoreBufferTooSmall)) {
        log->Error("SessionGroup::LoginFromPINCache(): chyba pri ziskavani PINu z cache: 0x%lX",
                   static_cast<unsigned long>(CKR_FUNCTION_FAILED));
        OPENSSL_cleanse(pin, sizeof pin);
        return CKR_FUNCTION_FAILED;
    }
    if (read == Core::CoreBufferTooSmall) {
        log->Error("SessionGroup::LoginFromPINCache(): chyba pri ziskavani PINu z cache: 0x%lX",
                   static_cast<unsigned long>(CKR_BUFFER_TOO_SMALL));
        OPENSSL_cleanse(pin, sizeof pin);
        return CKR_FUNCTION_FAILED;
    }

    bool authApdu = pair->IsAuthAPDUEnabled();
    pair->SetAuthAPDUEnabled(false);
    int result = pair->Login(authId, pin, length);
    pair->SetAuthAPDUEnabled(authApdu);
    OPENSSL_cleanse(pin, sizeof pin);

    CK_RV rv;
    if (PinResultToCkRv(result, &rv)) return rv;
    if (result == Core::CoreCancelled || result == Core::CoreUserCancelled) return CKR_FUNCTION_CANCELED;
    log->Error("SessionGroup::LoginFromPINCache(): chyba pri zalogovani z PIN cache: 0x%X", result);
    return CKR_FUNCTION_FAILED;
}

CK_RV SessionGroup::ReadPinFromCache(unsigned char* buffer, unsigned long* length, Core::ReaderCardPair* pair) {
    if (pair == nullptr || buffer == nullptr || length == nullptr) return CKR_FUNCTION_FAILED;
    int result = pair->GetPinCache()->Read(buffer, length);
    if (result == Core::CoreOk) return CKR_OK;
    if (result == Core::CoreBufferTooSmall) return CKR_BUFFER_TOO_SMALL;
    return CKR_FUNCTION_FAILED;
}

CK_RV SessionGroup::WritePinToCache(const unsigned char* pin, unsigned long length, Core::ReaderCardPair* pair) {
    if (pair == nullptr) return CKR_FUNCTION_FAILED;
    return pair->GetPinCache()->Write(pin, length) == Core::CoreOk ? CKR_OK : CKR_FUNCTION_FAILED;
}

CK_RV SessionGroup::ClearPinCache(Core::ReaderCardPair* pair) {
    if (pair == nullptr) return CKR_FUNCTION_FAILED;
    pair->GetPinCache()->Clear();
    return CKR_OK;
}

}  // namespace Pkcs11
}  // namespace Vellumcrest
