// The card is logged out after C_Login; private-key operations log in again with the
// cached PIN, which C_SetPIN has to keep up to date.
#include "blackbox/slots/P11Fixture.h"

namespace vctest {
namespace {

using CachedLogin = P11Test;

TEST_F(CachedLogin, SetPinUpdatesTheCachedPin) {
    CK_SLOT_ID slot = Card("R");
    Env().ToolOk("key-generate @R --bits 1024");
    CK_SESSION_HANDLE session = Open(slot, true);
    ASSERT_EQ(Login(session, CKU_USER, "1234"), CKR_OK);
    CK_OBJECT_CLASS keyClass = CKO_PRIVATE_KEY;
    CK_ATTRIBUTE tmpl[] = {{CKA_CLASS, &keyClass, sizeof keyClass}};
    std::vector<CK_OBJECT_HANDLE> keys = FindAll(session, tmpl, 1);
    ASSERT_EQ(keys.size(), 1u);
    CK_UTF8CHAR oldPin[] = {'1', '2', '3', '4'}, newPin[] = {'8', '6', '4', '2', '0'};
    ASSERT_EQ(p11->C_SetPIN(session, oldPin, sizeof oldPin, newPin, sizeof newPin), CKR_OK);
    // Signing logs the card in with the new PIN.
    CK_MECHANISM mechanism = {CKM_RSA_PKCS, nullptr, 0};
    ASSERT_EQ(p11->C_SignInit(session, &mechanism, keys[0]), CKR_OK);
    unsigned char data[35] = {0x30, 0x21, 0x30, 0x09, 0x06, 0x05, 0x2b, 0x0e, 0x03, 0x02, 0x1a, 0x05, 0x00, 0x04, 0x14};
    unsigned char signature[128];
    CK_ULONG length = sizeof signature;
    EXPECT_EQ(p11->C_Sign(session, data, sizeof data, signature, &length), CKR_OK);
}

}  // namespace
}  // namespace vctest
