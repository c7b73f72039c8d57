"""A typical application flow through PyKCS11: find the token, open sessions, log in, look
at the sessions, log out, close. Error and card-change cases are covered by the gtest suites."""
import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import vctest  # noqa: E402

ENV = vctest.Env()
import PyKCS11  # noqa: E402
from PyKCS11 import PyKCS11Error  # noqa: E402
from PyKCS11.LowLevel import (  # noqa: E402
    CKF_RW_SESSION, CKF_SERIAL_SESSION, CKF_USER_PIN_INITIALIZED, CKR_SESSION_HANDLE_INVALID,
    CKR_USER_ALREADY_LOGGED_IN, CKS_RO_PUBLIC_SESSION, CKS_RO_USER_FUNCTIONS, CKS_RW_PUBLIC_SESSION,
    CKS_RW_USER_FUNCTIONS)

CARD_ID = "00112233445566778899AABBCCDDEEFF"
ENV.reader_with_card("App Reader", 2, "4711", "12345678", "--id", CARD_ID, "--model", "Vellum Two")
ENV.tool("reader-add", "Empty Reader")
LIB = vctest.load()


class ApplicationFlow(unittest.TestCase):
    def test_discover_open_login_logout_close(self):
        slots = LIB.getSlotList(tokenPresent=True)
        self.assertEqual(len(slots), 1)
        self.assertEqual(len(LIB.getSlotList()), 2)
        slot = slots[0]
        self.assertEqual(LIB.getSlotInfo(slot).slotDescription.strip(), "App Reader")
        token = LIB.getTokenInfo(slot)
        self.assertEqual(token.serialNumber, CARD_ID[16:])
        self.assertEqual(token.model.strip(), "Vellum Two")
        self.assertTrue(token.flags & CKF_USER_PIN_INITIALIZED)
        self.assertIn("CKM_RSA_PKCS", LIB.getMechanismList(slot))

        session = LIB.openSession(slot)
        rw = LIB.openSession(slot, CKF_RW_SESSION)
        info = session.getSessionInfo()
        self.assertEqual((info.slotID, info.state), (slot, CKS_RO_PUBLIC_SESSION))
        self.assertEqual(info.flags & (CKF_SERIAL_SESSION | CKF_RW_SESSION), CKF_SERIAL_SESSION)

        session.login("4711")
        self.assertEqual(session.getSessionInfo().state, CKS_RO_USER_FUNCTIONS)
        self.assertEqual(rw.getSessionInfo().state, CKS_RW_USER_FUNCTIONS)
        with self.assertRaises(PyKCS11Error) as raised:
            rw.login("4711")
        self.assertEqual(raised.exception.value, CKR_USER_ALREADY_LOGGED_IN)

        session.logout()
        self.assertEqual(rw.getSessionInfo().state, CKS_RW_PUBLIC_SESSION)
        session.closeSession()
        with self.assertRaises(PyKCS11Error) as raised:
            session.getSessionInfo()
        self.assertEqual(raised.exception.value, CKR_SESSION_HANDLE_INVALID)
        LIB.closeAllSessions(slot)


if __name__ == "__main__":
    try:
        result = unittest.main(exit=False, verbosity=2).result
    finally:
        ENV.cleanup()
    sys.exit(0 if result.wasSuccessful() else 1)
