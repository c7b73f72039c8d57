"""A typical application flow through PyKCS11: find the token, open sessions, log in,
look at the session, log out, close; plus the errors an application has to handle."""
import faulthandler
import os
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import vctest  # noqa: E402

ENV = vctest.Env()
import PyKCS11  # noqa: E402
from PyKCS11 import PyKCS11Error  # noqa: E402
from PyKCS11.LowLevel import (  # noqa: E402
    CKF_RW_SESSION, CKF_SERIAL_SESSION, CKF_TOKEN_PRESENT, CKF_USER_PIN_COUNT_LOW, CKF_USER_PIN_INITIALIZED,
    CKR_DEVICE_REMOVED, CKR_PIN_INCORRECT, CKR_SESSION_HANDLE_INVALID, CKR_USER_ALREADY_LOGGED_IN,
    CKS_RO_PUBLIC_SESSION, CKS_RO_USER_FUNCTIONS, CKS_RW_PUBLIC_SESSION, CKS_RW_SO_FUNCTIONS,
    CKS_RW_USER_FUNCTIONS, CKU_SO, CKU_USER)

CARD_ID = "00112233445566778899AABBCCDDEEFF"
ENV.reader_with_card("App Reader", 2, "4711", "12345678", "--id", CARD_ID, "--model", "Vellum Two")
ENV.tool("reader-add", "Empty Reader")
LIB = vctest.load()


def rv_of(error):
    return error.value


class ApplicationFlow(unittest.TestCase):
    def setUp(self):
        self.slot = LIB.getSlotList(tokenPresent=True)[0]

    def tearDown(self):
        for slot in LIB.getSlotList():
            LIB.closeAllSessions(slot)

    def test_discovery(self):
        self.assertEqual(len(LIB.getSlotList(tokenPresent=True)), 1)
        self.assertEqual(len(LIB.getSlotList()), 2)
        slot_info = LIB.getSlotInfo(self.slot)
        self.assertEqual(slot_info.slotDescription.strip(), "App Reader")
        self.assertTrue(slot_info.flags & CKF_TOKEN_PRESENT)
        token = LIB.getTokenInfo(self.slot)
        self.assertEqual(token.label.strip(), CARD_ID[16:])
        self.assertEqual(token.serialNumber, CARD_ID[16:])
        self.assertEqual(token.manufacturerID.strip(), "Orvo Card Technologies")
        self.assertEqual(token.model.strip(), "Vellum Two")
        self.assertTrue(token.flags & CKF_USER_PIN_INITIALIZED)
        mechanisms = LIB.getMechanismList(self.slot)
        self.assertEqual(mechanisms, ["CKM_MD5", "CKM_SHA_1", "CKM_SHA256", "CKM_SHA384", "CKM_SHA512",
                                      "CKM_RSA_PKCS_KEY_PAIR_GEN", "CKM_RSA_PKCS"])
        info = LIB.getMechanismInfo(self.slot, "CKM_RSA_PKCS")
        self.assertEqual((info.ulMinKeySize, info.ulMaxKeySize), (1024, 2048))

    def test_login_session_info_logout_close(self):
        session = LIB.openSession(self.slot)
        rw = LIB.openSession(self.slot, CKF_RW_SESSION)
        info = session.getSessionInfo()
        self.assertEqual(info.slotID, self.slot)
        self.assertEqual(info.state, CKS_RO_PUBLIC_SESSION)
        self.assertTrue(info.flags & CKF_SERIAL_SESSION)
        self.assertFalse(info.flags & CKF_RW_SESSION)
        self.assertEqual(info.ulDeviceError, 0)

        session.login("4711")
        self.assertEqual(session.getSessionInfo().state, CKS_RO_USER_FUNCTIONS)
        self.assertEqual(rw.getSessionInfo().state, CKS_RW_USER_FUNCTIONS)
        with self.assertRaises(PyKCS11Error) as raised:
            rw.login("4711")
        self.assertEqual(rv_of(raised.exception), CKR_USER_ALREADY_LOGGED_IN)

        session.logout()
        self.assertEqual(rw.getSessionInfo().state, CKS_RW_PUBLIC_SESSION)
        session.closeSession()
        with self.assertRaises(PyKCS11Error) as raised:
            session.getSessionInfo()
        self.assertEqual(rv_of(raised.exception), CKR_SESSION_HANDLE_INVALID)
        rw.closeSession()

    def test_wrong_pin_then_right_pin(self):
        session = LIB.openSession(self.slot, CKF_RW_SESSION)
        with self.assertRaises(PyKCS11Error) as raised:
            session.login("0000")
        self.assertEqual(rv_of(raised.exception), CKR_PIN_INCORRECT)
        self.assertTrue(LIB.getTokenInfo(self.slot).flags & CKF_USER_PIN_COUNT_LOW)
        self.assertEqual(session.getSessionInfo().state, CKS_RW_PUBLIC_SESSION)
        session.login("4711")
        self.assertFalse(LIB.getTokenInfo(self.slot).flags & CKF_USER_PIN_COUNT_LOW)
        session.logout()

    def test_security_officer_changes_pins(self):
        session = LIB.openSession(self.slot, CKF_RW_SESSION)
        session.login("12345678", user_type=CKU_SO)
        self.assertEqual(session.getSessionInfo().state, CKS_RW_SO_FUNCTIONS)
        session.initPin("8642")
        session.logout()
        session.login("8642")
        session.setPin("8642", "4711")
        session.logout()
        session.login("4711", user_type=CKU_USER)
        session.closeSession()

    def test_card_pulled_while_a_session_is_open(self):
        session = LIB.openSession(self.slot)
        image = os.path.join(ENV.root, "pulled.vcard")
        ENV.tool("card-remove", "App Reader", image)
        try:
            with self.assertRaises(PyKCS11Error) as raised:
                session.login("4711")
            self.assertEqual(rv_of(raised.exception), CKR_DEVICE_REMOVED)
            with self.assertRaises(PyKCS11Error) as raised:
                session.getSessionInfo()
            self.assertEqual(rv_of(raised.exception), CKR_SESSION_HANDLE_INVALID)
            self.assertEqual(LIB.getSlotList(tokenPresent=True), [])
        finally:
            ENV.tool("card-insert", "App Reader", image)
        self.assertEqual(LIB.getSlotList(tokenPresent=True), [self.slot])

    def test_wait_for_a_card(self):
        image = os.path.join(ENV.root, "waited.vcard")
        ENV.tool("card-create", image, "--type", "1")
        # PyKCS11 keeps the interpreter lock while it waits, so the card is inserted by a
        # process started before the wait, and a watchdog ends a wait that never returns.
        inserter = subprocess.Popen(["sh", "-c", 'sleep 0.5; exec "$0" --readers-dir "$1" card-insert "$2" "$3"',
                                     vctest.TOOL, ENV.readers, "Empty Reader", image])
        faulthandler.dump_traceback_later(30, exit=True)
        try:
            deadline = time.time() + 10
            found = None
            while time.time() < deadline:
                # Events from earlier tests come first; wait for the insertion.
                slot = LIB.waitForSlotEvent()
                # The slot list brings the slots up to date.
                if slot in LIB.getSlotList(tokenPresent=True) and \
                        LIB.getSlotInfo(slot).slotDescription.strip() == "Empty Reader":
                    found = slot
                    break
        finally:
            faulthandler.cancel_dump_traceback_later()
            inserter.wait()
        self.assertIsNotNone(found, "no slot event for the inserted card")
        self.assertEqual(len(LIB.getSlotList(tokenPresent=True)), 2)
        ENV.tool("card-remove", "Empty Reader", os.path.join(ENV.root, "waited-out.vcard"))


if __name__ == "__main__":
    try:
        result = unittest.main(exit=False, verbosity=2).result
    finally:
        ENV.cleanup()
    sys.exit(0 if result.wasSuccessful() else 1)
