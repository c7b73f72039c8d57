// The card is logged out after C_Login; private-key operations log in again with the
// cached PIN. Checked through signatures with a key made by the card tool.
#include "blackbox/slots/P11Fixture.h"

namespace vctest {
namespace {

class CachedLogin : public P11Test {
protected:
    CK_OBJECT_HANDLE PrivateKey(CK_SESSION_HANDLE session) {
        CK_OBJECT_CLASS keyClass = CKO_PRIVATE_KEY;
        CK_ATTRIBUTE tmpl[] = {{CKA_CLASS, &keyClass, sizeof keyClass}};
        std::vector<CK_OBJECT_HANDLE> keys = FindAll(session, tmpl, 1);
        EXPECT_EQ(keys.size(), 1u);
        return keys.empty() ? 0 : keys[0];
    }

    CK_RV Sign(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE key, CK_ULONG* length = nullptr) {
        CK_MECHANISM mechanism = {CKM_RSA_PKCS, nullptr, 0};
        CK_RV rv = p11->C_SignInit(session, &mechanism, key);
        if (rv != CKR_OK) return rv;
        unsigned char data[35] = {0x30, 0x21, 0x30, 0x09, 0x06, 0x05, 0x2b, 0x0e, 0x03, 0x02, 0x1a, 0x05, 0x00, 0x04, 0x14};
        unsigned char signature[512];
        CK_ULONG signatureLength = sizeof signature;
        rv = p11->C_Sign(session, data, sizeof data, signature, &signatureLength);
        if (length != nullptr) *length = signatureLength;
        return rv;
    }
};

TEST_F(CachedLogin, SignsAfterLoginAndNotAfterLogout) {
    CK_SLOT_ID slot = Card("R");
    Env().ToolOk("key-generate @R --bits 1024 --label signer");
    CK_SESSION_HANDLE session = Open(slot, false);
    ASSERT_EQ(Login(session, CKU_USER, "1234"), CKR_OK);
    CK_OBJECT_HANDLE key = PrivateKey(session);
    ASSERT_NE(key, 0u);
    CK_ULONG length = 0;
    EXPECT_EQ(Sign(session, key, &length), CKR_OK);
    EXPECT_EQ(length, 128u);
    EXPECT_EQ(Sign(session, key), CKR_OK);  // again, from the cache

    // Another session of the slot shares the login.
    CK_SESSION_HANDLE other = Open(slot, true);
    EXPECT_EQ(Sign(other, key), CKR_OK);

    ASSERT_EQ(p11->C_Logout(session), CKR_OK);
    EXPECT_EQ(Sign(session, key), CKR_USER_NOT_LOGGED_IN);
}

TEST_F(CachedLogin, SetPinUpdatesTheCachedPin) {
    CK_SLOT_ID slot = Card("R");
    Env().ToolOk("key-generate @R --bits 1024");
    CK_SESSION_HANDLE session = Open(slot, true);
    ASSERT_EQ(Login(session, CKU_USER, "1234"), CKR_OK);
    CK_OBJECT_HANDLE key = PrivateKey(session);
    // C_SetPIN puts the new PIN into the cache, so signing goes on working.
    CK_UTF8CHAR oldPin[] = {'1', '2', '3', '4'}, newPin[] = {'8', '6', '4', '2', '0'};
    ASSERT_EQ(p11->C_SetPIN(session, oldPin, sizeof oldPin, newPin, sizeof newPin), CKR_OK);
    EXPECT_EQ(Sign(session, key), CKR_OK);
}

}  // namespace
}  // namespace vctest
