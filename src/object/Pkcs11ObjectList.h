// The PKCS#11 view of a slot's card objects: one list per session group.
#pragma once

#include "core/CoreObjects.h"
#include "core/Reader.h"
#include "vellumcrest/pkcs11.h"

namespace Vellumcrest {
namespace Pkcs11 {

class Pkcs11Provider;
class Session;
class SessionGroup;

class Pkcs11ObjectList : public Core::CoreObjectList {
public:
    Pkcs11ObjectList();
    ~Pkcs11ObjectList() override;

    void SetOwner(SessionGroup* group, Pkcs11Provider* provider) {
        group_ = group;
        provider_ = provider;
    }

    // Object list (object/ObjectList.cpp)
    CK_RV AddAllObjectsFromCard(Core::ReaderCardPair* pair);
    bool IsLoaded(uint32_t mask) const;
    CK_RV AddKeyPair(Core::ReaderCardPair* pair, Core::CardPublicKeyRecord* publicRecord,
                     Core::CardPrivateKeyRecord* privateRecord, CK_OBJECT_HANDLE* phPublicKey,
                     CK_OBJECT_HANDLE* phPrivateKey, const unsigned char* id, unsigned long idLength,
                     const unsigned char* label, unsigned long labelLength);
    void DestroySessionObjects(CK_SESSION_HANDLE hSession);
    static CK_OBJECT_CLASS GetPkcs11KeyClass(Core::CoreObject* object);
    static CK_KEY_TYPE GetPkcs11KeyType(Core::CoreObject* object);

    // Attribute reading (object/AttributeRead.cpp)
    CK_RV GetPkcs11AttributeValue(Core::CoreObject* object, CK_ATTRIBUTE* attribute,
                                  Core::ReaderCardPair* pair);
    CK_RV GetAttributeValue(CK_OBJECT_HANDLE hObject, CK_ATTRIBUTE* attribute, Session* session,
                            Core::ReaderCardPair* pair);

    // Search (object/Search.cpp)
    CK_RV FindNextMatchingObject(CK_OBJECT_HANDLE* position, const CK_ATTRIBUTE* pTemplate,
                                 CK_ULONG count, bool privateSession, Core::ReaderCardPair* pair);

    // Attribute writing (object/AttributeWrite.cpp)
    CK_RV SetPkcs11AttributeValue(Core::CoreObject* object, CK_ATTRIBUTE* attribute,
                                  Core::ReaderCardPair* pair);
    CK_RV SetAttributeValue(CK_OBJECT_HANDLE hObject, CK_ATTRIBUTE* attribute, Session* session,
                            Core::ReaderCardPair* pair);
    static CK_RV StoreCryptokiAndLabel(Core::CoreObject* object, Core::ReaderCardPair* pair,
                                       const unsigned char* id, unsigned long idLength,
                                       const unsigned char* label, unsigned long labelLength);

private:
    CK_RV rewriteData(Core::FileStorage* data, const CK_ATTRIBUTE* attribute, Core::ReaderCardPair* pair);

    uint32_t loadedKinds_ = 0;
    SessionGroup* group_ = nullptr;
    Pkcs11Provider* provider_ = nullptr;
};

}  // namespace Pkcs11
}  // namespace Vellumcrest
