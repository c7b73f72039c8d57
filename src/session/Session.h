// Sessions and the per-slot session groups that hold login and operation state.
#pragma once

#include <cstdint>
#include <vector>

#include "core/ExclusiveLock.h"
#include "core/Hash.h"
#include "core/Reader.h"
#include "handles/List.h"
#include "object/Pkcs11ObjectList.h"
#include "vellumcrest/pkcs11.h"

namespace Vellumcrest {
namespace Pkcs11 {

class Pkcs11Provider;
class SessionGroup;

enum LoginState : uint32_t {
    LoginStatePublic = 1,
    LoginStateUser = 2,
    LoginStateSo = 3,
};

enum FindState : uint8_t {
    FindStateNone = 0,
    FindStateInitialised = 1,
    FindStateRunning = 2,
};

// What an *Init recorded beside the key: the session that started the operation (the only
// one that may continue it), the mechanism and its checked parameters.
struct OperationDetail {
    CK_SESSION_HANDLE owner = 0;
    CK_MECHANISM_TYPE mechanism = 0;
    Core::HashType hash = Core::HashTypeSsl3;     // PSS and OAEP hash
    Core::HashType mgfHash = Core::HashTypeSsl3;  // MGF1 hash
    CK_ULONG saltLength = 0;                      // PSS
    std::vector<unsigned char> label;             // OAEP
    bool digestInput = false;                     // verification given the digest instead of the message
    bool multiPart = false;                       // an Update call has run
};

class VC_LIST_ELEMENT Session {
public:
    Session(bool readWrite, uint32_t groupHandle, Pkcs11Provider* provider);
    virtual ~Session();

    CK_SLOT_ID GetSlotID();
    CK_STATE GetState();
    bool IsReadWrite() const { return readWrite_; }
    uint32_t GetSessionGroupHandle() const { return groupHandle_; }
    CK_SESSION_HANDLE GetHandle() const { return handle_; }
    void SetHandle(CK_SESSION_HANDLE handle) { handle_ = handle; }
    // With lock true the group is returned locked; the caller calls Unlock.
    SessionGroup* GetSessionGroup(bool lock);
    void Lock();
    void Unlock();
    // Holds of the lock now standing (by its holder).
    int64_t HoldCount() const { return static_cast<int64_t>(holdCount_); }

private:
    Core::ExclusiveLock lock_;
    int32_t holdCount_ = 0;
    bool readWrite_;
    CK_SESSION_HANDLE handle_ = 0;
    uint32_t groupHandle_;
    Pkcs11Provider* provider_;
};

class VC_LIST_ELEMENT SessionGroup {
public:
    SessionGroup(CK_SLOT_ID slotID, Pkcs11Provider* provider);
    virtual ~SessionGroup();

    CK_SLOT_ID GetSlotID() const { return slotID_; }
    uint32_t GetLoginState() const { return loginState_; }
    void SetLoginState(uint32_t state) { loginState_ = state; }
    Pkcs11ObjectList* GetObjectList() { return &objectList_; }
    void Lock();
    void Unlock();
    // Holds of the lock now standing (by its holder).
    int64_t HoldCount() const { return static_cast<int64_t>(holdCount_); }

    // Search
    uint8_t GetFindState() const { return findState_; }
    void SetFindState(uint8_t state) { findState_ = state; }
    const CK_ATTRIBUTE* GetFindTemplate() const { return findTemplate_; }
    uint32_t GetFindTemplateCount() const { return findTemplateCount_; }
    bool SetFindTemplate(const CK_ATTRIBUTE* pTemplate, CK_ULONG count);
    void ClearFindTemplate();
    CK_OBJECT_HANDLE GetFindPosition() const { return findPosition_; }
    void SetFindPosition(CK_OBJECT_HANDLE position) { findPosition_ = position; }

    // Digest
    bool GetDigestActive() const { return digestActive_; }
    void SetDigestActive(bool active) { digestActive_ = active; }
    Core::Hash* GetDigestHash() const { return digestHash_; }
    void SetDigestHash(Core::Hash* hash);  // takes ownership, releases the previous one

    // Sign
    bool GetSignActive() const { return signActive_; }
    void SetSignActive(bool active) { signActive_ = active; }
    Core::Hash* GetSignHash() const { return signHash_; }
    void SetSignHash(Core::Hash* hash);
    CK_OBJECT_HANDLE GetSignKey() const { return signKey_; }
    void SetSignKey(CK_OBJECT_HANDLE key) { signKey_ = key; }
    bool GetAlwaysAuthenticate() const { return alwaysAuthenticate_; }
    void SetAlwaysAuthenticate(bool value) { alwaysAuthenticate_ = value; }
    bool GetContextLoginDone() const { return contextLoginDone_; }
    void SetContextLoginDone(bool value) { contextLoginDone_ = value; }

    // Verify
    bool GetVerifyActive() const { return verifyActive_; }
    void SetVerifyActive(bool active) { verifyActive_ = active; }
    Core::Hash* GetVerifyHash() const { return verifyHash_; }
    void SetVerifyHash(Core::Hash* hash);
    CK_OBJECT_HANDLE GetVerifyKey() const { return verifyKey_; }
    void SetVerifyKey(CK_OBJECT_HANDLE key) { verifyKey_ = key; }

    // Encrypt / decrypt
    bool GetEncryptActive() const { return encryptActive_; }
    void SetEncryptActive(bool active) { encryptActive_ = active; }
    CK_OBJECT_HANDLE GetEncryptKey() const { return encryptKey_; }
    void SetEncryptKey(CK_OBJECT_HANDLE key) { encryptKey_ = key; }
    bool GetDecryptActive() const { return decryptActive_; }
    void SetDecryptActive(bool active) { decryptActive_ = active; }
    CK_OBJECT_HANDLE GetDecryptKey() const { return decryptKey_; }
    void SetDecryptKey(CK_OBJECT_HANDLE key) { decryptKey_ = key; }

    // Owner, mechanism and parameters of each operation; reset when it ends.
    OperationDetail& DigestDetail() { return digestDetail_; }
    OperationDetail& SignDetail() { return signDetail_; }
    OperationDetail& VerifyDetail() { return verifyDetail_; }
    OperationDetail& EncryptDetail() { return encryptDetail_; }
    OperationDetail& DecryptDetail() { return decryptDetail_; }
    // End an operation: not active, no key, hash released, detail reset.
    void EndDigest();
    void EndSign();
    void EndVerify();
    void EndEncrypt();
    void EndDecrypt();
    // Ends every operation that the session started (it is closing).
    void EndOperationsOf(CK_SESSION_HANDLE hSession);

    // PIN cache of a reader/card pair (touch no field of the group).
    CK_RV LoginFromPINCache(int authId, Core::ReaderCardPair* pair);
    CK_RV ReadPinFromCache(unsigned char* buffer, unsigned long* length, Core::ReaderCardPair* pair);
    CK_RV WritePinToCache(const unsigned char* pin, unsigned long length, Core::ReaderCardPair* pair);
    CK_RV ClearPinCache(Core::ReaderCardPair* pair);

private:
    Core::ExclusiveLock lock_;
    uint32_t holdCount_ = 0;
    uint32_t loginState_ = LoginStatePublic;
    CK_SLOT_ID slotID_;
    Pkcs11Provider* provider_;
    Pkcs11ObjectList objectList_;
    uint8_t findState_ = FindStateNone;
    CK_ATTRIBUTE* findTemplate_ = nullptr;
    uint32_t findTemplateCount_ = 0;
    CK_OBJECT_HANDLE findPosition_ = 0;
    bool digestActive_ = false;
    Core::Hash* digestHash_ = nullptr;
    bool signActive_ = false;
    Core::Hash* signHash_ = nullptr;
    CK_OBJECT_HANDLE signKey_ = 0;
    bool alwaysAuthenticate_ = false;
    bool contextLoginDone_ = false;
    bool verifyActive_ = false;
    Core::Hash* verifyHash_ = nullptr;
    CK_OBJECT_HANDLE verifyKey_ = 0;
    bool encryptActive_ = false;
    CK_OBJECT_HANDLE encryptKey_ = 0;
    bool decryptActive_ = false;
    CK_OBJECT_HANDLE decryptKey_ = 0;
    OperationDetail digestDetail_;
    OperationDetail signDetail_;
    OperationDetail verifyDetail_;
    OperationDetail encryptDetail_;
    OperationDetail decryptDetail_;
};

class SessionList : private Core::List<Session> {
public:
    SessionList();
    ~SessionList() override;
    void SetProvider(Pkcs11Provider* provider) { provider_ = provider; }

    CK_SESSION_HANDLE CreateSession(CK_SLOT_ID slotID, bool readWrite);
    Session* GetSession(CK_SESSION_HANDLE hSession, bool lock);
    bool CloseSession(CK_SESSION_HANDLE hSession);
    bool CloseAllSessions(CK_SLOT_ID slotID);
    bool HasSessionOnSlot(CK_SLOT_ID slotID);
    bool HasSessionInState(CK_SLOT_ID slotID, CK_STATE state);

private:
    Core::ExclusiveLock listLock_;
    Pkcs11Provider* provider_ = nullptr;
};

class SessionGroupList : private Core::List<SessionGroup> {
public:
    SessionGroupList();
    ~SessionGroupList() override;
    void SetProvider(Pkcs11Provider* provider) { provider_ = provider; }

    uint32_t CreateSessionGroup(CK_SLOT_ID slotID);
    SessionGroup* GetSessionGroup(uint32_t handle, bool lock);
    uint32_t FindSessionGroupBySlot(CK_SLOT_ID slotID);
    void RemoveSessionGroup(uint32_t handle);
    // Takes the group out of the list and hands it to the caller, who destroys it; null
    // when the list has no such group.
    SessionGroup* DetachSessionGroup(uint32_t handle);

private:
    Core::ExclusiveLock listLock_;
    Pkcs11Provider* provider_ = nullptr;
};

}  // namespace Pkcs11
}  // namespace Vellumcrest
