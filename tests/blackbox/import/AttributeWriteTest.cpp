// C_SetAttributeValue: labels, IDs and data values written to the card and seen by a
// freshly loaded module; refusals that leave objects as they were.
#include <gtest/gtest.h>

#include "ImportSupport.h"

using namespace imptest;

namespace {

CK_RV setAttribute(CK_FUNCTION_LIST_PTR p11, CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object,
                   CK_ATTRIBUTE_TYPE type, const Bytes& value) {
    CK_ATTRIBUTE attribute = {type, const_cast<unsigned char*>(value.data()), value.size()};
    return p11->C_SetAttributeValue(session, object, &attribute, 1);
}

Bytes text(const std::string& value) { return Bytes(value.begin(), value.end()); }

// The one object of a class with that label in a module instance.
CK_OBJECT_HANDLE byLabel(CK_FUNCTION_LIST_PTR p11, CK_SESSION_HANDLE session, CK_OBJECT_CLASS cls,
                         const std::string& label) {
    CK_ATTRIBUTE tmpl[] = {{CKA_CLASS, &cls, sizeof cls},
                           {CKA_LABEL, const_cast<char*>(label.data()), label.size()}};
    CK_OBJECT_HANDLE found[4];
    CK_ULONG count = 0;
    EXPECT_EQ(p11->C_FindObjectsInit(session, tmpl, 2), CKR_OK);
    EXPECT_EQ(p11->C_FindObjects(session, found, 4, &count), CKR_OK);
    EXPECT_EQ(p11->C_FindObjectsFinal(session), CKR_OK);
    EXPECT_EQ(count, 1u) << "class " << cls << " label " << label;
    return count == 1 ? found[0] : 0;
}

Bytes valueIn(CK_FUNCTION_LIST_PTR p11, CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type) {
    CK_ATTRIBUTE attribute = {type, nullptr, 0};
    EXPECT_EQ(p11->C_GetAttributeValue(session, object, &attribute, 1), CKR_OK);
    Bytes value(attribute.ulValueLen == CK_UNAVAILABLE_INFORMATION ? 0 : attribute.ulValueLen);
    attribute.pValue = value.data();
    EXPECT_EQ(p11->C_GetAttributeValue(session, object, &attribute, 1), CKR_OK);
    return value;
}

CK_SESSION_HANDLE loggedIn(CK_FUNCTION_LIST_PTR p11, CK_SLOT_ID slot) {
    CK_SESSION_HANDLE session = 0;
    EXPECT_EQ(p11->C_OpenSession(slot, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &session), CKR_OK);
    CK_UTF8CHAR pin[] = {'1', '2', '3', '4'};
    EXPECT_EQ(p11->C_Login(session, CKU_USER, pin, sizeof pin), CKR_OK);
    return session;
}

}  // namespace

// New labels, IDs and data values reach the card: a module loaded afresh (as another
// application) sees them. The private key's label changes alone; the data object keeps
// its handle and its label across a new value.
TEST(SetAttributeValue, LabelsIdsAndDataValuesPersist) {
    const Pki& pki = GetPki();
    CK_SLOT_ID slot = NewCard("writes", 1);
    CK_SESSION_HANDLE session = Session(slot);
    CK_OBJECT_HANDLE data = 0, ca = 0, key = 0;
    Template dataTemplate = DataTemplate(Bytes(50, 0x01), "d");
    ASSERT_EQ(Create(session, dataTemplate, &data), CKR_OK);
    Template caTemplate = CertificateTemplate(pki.caDer);
    ASSERT_EQ(Create(session, caTemplate, &ca), CKR_OK);
    Template keyTemplate = KeyTemplate(pki.clientKey).Bytes(CKA_ID, {0x02}).Text(CKA_LABEL, "pair");
    ASSERT_EQ(Create(session, keyTemplate, &key), CKR_OK);

    const Bytes newValue(300, 0x02);
    EXPECT_EQ(setAttribute(P11(), session, data, CKA_LABEL, text("renamed")), CKR_OK);
    EXPECT_EQ(setAttribute(P11(), session, data, CKA_VALUE, newValue), CKR_OK);
    EXPECT_EQ(vctest::Attribute(session, data, CKA_VALUE), newValue) << "same handle, new value";
    EXPECT_EQ(vctest::Attribute(session, data, CKA_LABEL), text("renamed"));
    CK_ATTRIBUTE both[] = {{CKA_LABEL, const_cast<char*>("root"), 4}, {CKA_ID, const_cast<char*>("\x0b"), 1}};
    EXPECT_EQ(P11()->C_SetAttributeValue(session, ca, both, 2), CKR_OK);
    EXPECT_EQ(setAttribute(P11(), session, key, CKA_LABEL, text("private only")), CKR_OK);
    EXPECT_EQ(Count(Dump("writes"), "data file "), 1u) << "the old data file is gone";
    EXPECT_EQ(P11()->C_CloseAllSessions(slot), CKR_OK);

    CK_FUNCTION_LIST_PTR fresh = FreshModule();
    ASSERT_NE(fresh, nullptr);
    const CK_SLOT_ID freshSlot = SlotIn(fresh, "writes");
    CK_SESSION_HANDLE other = loggedIn(fresh, freshSlot);
    CK_OBJECT_HANDLE freshData = byLabel(fresh, other, CKO_DATA, "renamed");
    EXPECT_EQ(valueIn(fresh, other, freshData, CKA_VALUE), newValue);
    CK_OBJECT_HANDLE freshCa = byLabel(fresh, other, CKO_CERTIFICATE, "root");
    EXPECT_EQ(valueIn(fresh, other, freshCa, CKA_ID), Bytes{0x0b});
    CK_OBJECT_HANDLE freshKey = byLabel(fresh, other, CKO_PRIVATE_KEY, "private only");
    EXPECT_EQ(valueIn(fresh, other, freshKey, CKA_ID), Bytes{0x02});
    byLabel(fresh, other, CKO_PUBLIC_KEY, "pair");
    EXPECT_EQ(fresh->C_CloseAllSessions(freshSlot), CKR_OK);
    EXPECT_EQ(fresh->C_Finalize(nullptr), CKR_OK);
}

// Refused writes: too long label or ID, attributes that cannot change, a data value
// without the user, a token object in a read-only session. The first refusal stops a
// template; what came before it stays written. A data value that does not fit keeps the
// old one on the card.
TEST(SetAttributeValue, RefusalsLeaveObjectsAsTheyWere) {
    const Pki& pki = GetPki();
    CK_SLOT_ID slot = NewCard("refusals", 1, "--memory 2000");
    CK_SESSION_HANDLE session = Session(slot);
    CK_OBJECT_HANDLE data = 0, ca = 0;
    const Bytes oldValue(100, 0x0D);
    Template dataTemplate = DataTemplate(oldValue, "d");
    ASSERT_EQ(Create(session, dataTemplate, &data), CKR_OK);
    Template caTemplate = CertificateTemplate(pki.caDer).Text(CKA_LABEL, "ca");
    ASSERT_EQ(Create(session, caTemplate, &ca), CKR_OK);

    EXPECT_EQ(setAttribute(P11(), session, ca, CKA_LABEL, Bytes(41, 'L')), CKR_ATTRIBUTE_VALUE_INVALID);
    EXPECT_EQ(setAttribute(P11(), session, ca, CKA_ID, Bytes(33, 1)), CKR_ATTRIBUTE_VALUE_INVALID);
    EXPECT_EQ(setAttribute(P11(), session, ca, CKA_VALUE, pki.caDer), CKR_ATTRIBUTE_TYPE_INVALID);
    EXPECT_EQ(setAttribute(P11(), session, data, CKA_VALUE, {}), CKR_ATTRIBUTE_VALUE_INVALID);
    EXPECT_EQ(setAttribute(P11(), session, data, CKA_PRIVATE, {CK_TRUE}), CKR_ATTRIBUTE_TYPE_INVALID);
    EXPECT_EQ(setAttribute(P11(), session, data, CKA_VALUE, Bytes(1200, 0x0E)), CKR_DEVICE_MEMORY);
    EXPECT_EQ(vctest::Attribute(session, data, CKA_VALUE), oldValue);
    EXPECT_EQ(vctest::Attribute(session, ca, CKA_LABEL), text("ca"));

    // A data object holds an ID in memory only; CKA_ID is still not one of its attributes.
    EXPECT_EQ(setAttribute(P11(), session, data, CKA_ID, Bytes(10, 7)), CKR_OK);
    Bytes id;
    EXPECT_EQ(vctest::ReadAttribute(session, data, CKA_ID, &id), CKR_ATTRIBUTE_TYPE_INVALID);

    CK_ATTRIBUTE partly[] = {{CKA_LABEL, const_cast<char*>("first"), 5}, {CKA_CLASS, nullptr, 0},
                             {CKA_LABEL, const_cast<char*>("never"), 5}};
    EXPECT_EQ(P11()->C_SetAttributeValue(session, ca, partly, 3), CKR_ATTRIBUTE_TYPE_INVALID);
    EXPECT_EQ(vctest::Attribute(session, ca, CKA_LABEL), text("first"));
    EXPECT_EQ(P11()->C_SetAttributeValue(session, ca, nullptr, 1), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(P11()->C_SetAttributeValue(session, 0x7777, partly, 1), CKR_OBJECT_HANDLE_INVALID);

    EXPECT_EQ(P11()->C_Logout(session), CKR_OK);
    EXPECT_EQ(setAttribute(P11(), session, data, CKA_VALUE, {1}), CKR_USER_NOT_LOGGED_IN);
    EXPECT_EQ(setAttribute(P11(), session, data, CKA_LABEL, text("public")), CKR_OK);
    CK_SESSION_HANDLE readOnly = vctest::OpenSession(slot, false);
    EXPECT_EQ(setAttribute(P11(), readOnly, data, CKA_LABEL, text("ro")), CKR_SESSION_READ_ONLY);
    EXPECT_EQ(P11()->C_CloseAllSessions(slot), CKR_OK);

    CK_FUNCTION_LIST_PTR fresh = FreshModule();
    ASSERT_NE(fresh, nullptr);
    const CK_SLOT_ID freshSlot = SlotIn(fresh, "refusals");
    CK_SESSION_HANDLE other = loggedIn(fresh, freshSlot);
    EXPECT_EQ(valueIn(fresh, other, byLabel(fresh, other, CKO_DATA, "public"), CKA_VALUE), oldValue);
    EXPECT_EQ(fresh->C_CloseAllSessions(freshSlot), CKR_OK);
    EXPECT_EQ(fresh->C_Finalize(nullptr), CKR_OK);
}
