"""One application's life with the module, run once per reader backend with the same assertions:
slots and token, sessions, login, signing and decryption with an imported key, C_CreateObject of a
key, a certificate and a data object, key generation, deletion, a pulled card and a changed card
(C_WaitForSlotEvent wakes for both), and what was written still on the card afterwards.

    test_backends.py                    the directory backend; then the pcsc backend in a child
                                        process when VC_PCSC=1, else that part is reported skipped
    test_backends.py --backend pcsc     the pcsc backend only (exit 77 when pcscd, vpcd or the
                                        emulator is missing or another pcscd runs)

Over pcsc the suite starts its own pcscd with two vpcd readers (scripts/pcsc-env.sh); a card in a
reader is the card emulator serving an image, pulling it stops the emulator. In the directory
backend the readers have the same names and the card tool inserts and removes the images.
"""
import ctypes
import datetime
import os
import subprocess
import sys
import threading
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import vctest  # noqa: E402

BACKEND = "directory"
if "--backend" in sys.argv:
    at = sys.argv.index("--backend")
    BACKEND = sys.argv[at + 1]
    del sys.argv[at:at + 2]
if BACKEND not in ("directory", "pcsc"):
    sys.exit("unknown backend %r (directory or pcsc)" % BACKEND)
if BACKEND == "pcsc":
    WHY_NOT = vctest.PcscEnv.why_not()
    if WHY_NOT:
        print("pcsc backend skipped: %s" % WHY_NOT)
        sys.exit(77)

import PyKCS11  # noqa: E402
from PyKCS11 import PyKCS11Error  # noqa: E402
from PyKCS11.LowLevel import (  # noqa: E402
    CKF_RW_SESSION, CKF_SERIAL_SESSION, CKF_TOKEN_PRESENT, CKF_USER_PIN_COUNT_LOW, CKF_USER_PIN_INITIALIZED,
    CKR_DEVICE_REMOVED, CKR_PIN_INCORRECT, CKR_SESSION_HANDLE_INVALID, CKR_TOKEN_NOT_PRESENT,
    CKR_TOKEN_NOT_RECOGNIZED, CKR_USER_ALREADY_LOGGED_IN,
    CKS_RO_PUBLIC_SESSION, CKS_RO_USER_FUNCTIONS, CKS_RW_PUBLIC_SESSION, CKS_RW_USER_FUNCTIONS)
from cryptography import x509  # noqa: E402
from cryptography.hazmat.primitives import hashes, serialization  # noqa: E402
from cryptography.hazmat.primitives.asymmetric import padding, rsa  # noqa: E402
from cryptography.hazmat.primitives.asymmetric.utils import Prehashed  # noqa: E402
from cryptography.x509.oid import NameOID  # noqa: E402

CARD_A, PIN_A = "0000000000000000BACKEND0000000A1", "2468"
CARD_B, PIN_B = "0000000000000000BACKEND0000000B2", "97531"
SO_PIN = "12345678"
RSA_PKCS = PyKCS11.Mechanism(PyKCS11.CKM_RSA_PKCS, None)
DIGEST = bytes(range(32))
DIGEST_INFO = bytes.fromhex("3031300d060960864801650304020105000420") + DIGEST  # signed with CKM_RSA_PKCS


def pem(key):
    return key.private_bytes(serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8,
                             serialization.NoEncryption())


def self_signed(key, name):
    subject = x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, name)])
    now = datetime.datetime.now(datetime.timezone.utc)
    certificate = (x509.CertificateBuilder().subject_name(subject).issuer_name(subject)
                   .public_key(key.public_key()).serial_number(x509.random_serial_number())
                   .not_valid_before(now - datetime.timedelta(minutes=5))
                   .not_valid_after(now + datetime.timedelta(days=1)).sign(key, hashes.SHA256()))
    return certificate.public_bytes(serialization.Encoding.DER)


def check_signature(public_key, signature):
    """Raises unless SIGNATURE is public_key's PKCS#1 v1.5 signature of DIGEST."""
    public_key.verify(bytes(signature), DIGEST, padding.PKCS1v15(), Prehashed(hashes.SHA256()))


ENV = vctest.backend_env(BACKEND)
IMAGE_A, IMAGE_B = os.path.join(ENV.root, "a.vcard"), os.path.join(ENV.root, "b.vcard")
KEY_A = rsa.generate_private_key(65537, 2048)
KEY_IMPORT = rsa.generate_private_key(65537, 2048)
with open(os.path.join(ENV.root, "a.pem"), "wb") as f:
    f.write(pem(KEY_A))
with open(os.path.join(ENV.root, "b.data"), "wb") as f:
    f.write(b"only on card B")
ENV.tool("card-create", IMAGE_A, "--type", "2", "--id", CARD_A, "--user-pin", PIN_A, "--so-pin", SO_PIN)
ENV.tool("key-import", IMAGE_A, "--pem", os.path.join(ENV.root, "a.pem"), "--id", "01", "--label", "card key",
         "--usage", "sign,decrypt")
ENV.tool("card-create", IMAGE_B, "--type", "1", "--id", CARD_B, "--user-pin", PIN_B, "--so-pin", SO_PIN)
ENV.tool("data-add", IMAGE_B, "--file", os.path.join(ENV.root, "b.data"), "--label", "B data")
ENV.add_readers()
ENV.insert(0, IMAGE_A)
LIB = vctest.load()
RAW = ctypes.CDLL(vctest.MODULE)  # the same loaded module: its C_WaitForSlotEvent releases the GIL
RAW.C_WaitForSlotEvent.argtypes = [ctypes.c_ulong, ctypes.POINTER(ctypes.c_ulong), ctypes.c_void_p]


class Waiter:
    """C_WaitForSlotEvent in a thread."""

    def __init__(self):
        self.slot, self.rv = ctypes.c_ulong(0), None
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _run(self):
        self.rv = RAW.C_WaitForSlotEvent(0, ctypes.byref(self.slot), None)

    def woken(self, seconds):
        self.thread.join(seconds)
        return not self.thread.is_alive()


def quiet_wait():
    """A wait not answered at once by an event from before it (those are reported first)."""
    for _ in range(20):
        waiter = Waiter()
        if not waiter.woken(0.4):
            return waiter
    raise AssertionError("slot events do not stop")


def find(session, *attributes):
    return session.findObjects(list(attributes))


def one(session, *attributes):
    found = find(session, *attributes)
    if len(found) != 1:
        raise AssertionError("%d objects for %r" % (len(found), attributes))
    return found[0]


def public_key_of(session, handle):
    n, e = session.getAttributeValue(handle, [PyKCS11.CKA_MODULUS, PyKCS11.CKA_PUBLIC_EXPONENT])
    return rsa.RSAPublicNumbers(int.from_bytes(bytes(e), "big"), int.from_bytes(bytes(n), "big")).public_key()


def private_template(key, key_id, label):
    numbers = key.private_numbers()
    as_bytes = lambda v: v.to_bytes((v.bit_length() + 7) // 8, "big")
    return [(PyKCS11.CKA_CLASS, PyKCS11.CKO_PRIVATE_KEY), (PyKCS11.CKA_KEY_TYPE, PyKCS11.CKK_RSA),
            (PyKCS11.CKA_TOKEN, True), (PyKCS11.CKA_PRIVATE, True), (PyKCS11.CKA_SIGN, True),
            (PyKCS11.CKA_ID, key_id), (PyKCS11.CKA_LABEL, label),
            (PyKCS11.CKA_MODULUS, as_bytes(numbers.public_numbers.n)),
            (PyKCS11.CKA_PUBLIC_EXPONENT, as_bytes(numbers.public_numbers.e)),
            (PyKCS11.CKA_PRIVATE_EXPONENT, as_bytes(numbers.d)), (PyKCS11.CKA_PRIME_1, as_bytes(numbers.p)),
            (PyKCS11.CKA_PRIME_2, as_bytes(numbers.q)), (PyKCS11.CKA_EXPONENT_1, as_bytes(numbers.dmp1)),
            (PyKCS11.CKA_EXPONENT_2, as_bytes(numbers.dmq1)), (PyKCS11.CKA_COEFFICIENT, as_bytes(numbers.iqmp))]


def slot_of(name):
    for slot in LIB.getSlotList():
        if LIB.getSlotInfo(slot).slotDescription.strip() == name:
            return slot
    raise AssertionError("no slot for reader %r" % name)


def wait_for_token(slot, serial, seconds=10):
    """Lists the slots, as an application does after a slot event, until SLOT holds SERIAL."""
    deadline = time.monotonic() + seconds
    while True:
        if slot in LIB.getSlotList(tokenPresent=True) and LIB.getTokenInfo(slot).serialNumber == serial:
            return
        if time.monotonic() > deadline:
            raise AssertionError("token %s not seen in slot %d" % (serial, slot))
        time.sleep(0.1)


class Backend(unittest.TestCase):
    """Runs in name order; each step builds on the card state the steps before left."""

    def setUp(self):
        self.slot = slot_of(ENV.READERS[0])

    def open(self, rw=True, pin=PIN_A):
        session = LIB.openSession(self.slot, CKF_SERIAL_SESSION | (CKF_RW_SESSION if rw else 0))
        if pin:
            session.login(pin)
        self.addCleanup(lambda: self.close(session))
        return session

    @staticmethod
    def close(session):
        try:
            session.closeSession()
        except PyKCS11Error:
            pass  # closed by a card change

    def test_1_slots_and_token(self):
        slots = LIB.getSlotList()
        self.assertEqual(sorted(LIB.getSlotInfo(s).slotDescription.strip() for s in slots), list(ENV.READERS))
        self.assertEqual(LIB.getSlotList(tokenPresent=True), [self.slot])
        self.assertTrue(LIB.getSlotInfo(self.slot).flags & CKF_TOKEN_PRESENT)
        empty = slot_of(ENV.READERS[1])
        self.assertFalse(LIB.getSlotInfo(empty).flags & CKF_TOKEN_PRESENT)
        with self.assertRaises(PyKCS11Error) as raised:
            LIB.getTokenInfo(empty)
        self.assertEqual(raised.exception.value, CKR_TOKEN_NOT_PRESENT)

        # A card of another application: still a slot without a token of ours.
        ENV.foreign(1)
        self.assertEqual(LIB.getSlotList(tokenPresent=True), [self.slot])
        self.assertFalse(LIB.getSlotInfo(empty).flags & CKF_TOKEN_PRESENT)
        with self.assertRaises(PyKCS11Error) as raised:
            LIB.getTokenInfo(empty)
        self.assertEqual(raised.exception.value, CKR_TOKEN_NOT_RECOGNIZED)
        ENV.pull(1)

        token = LIB.getTokenInfo(self.slot)
        self.assertEqual(token.serialNumber, CARD_A[16:])
        self.assertEqual(token.model.strip(), "Vellumcrest T2")
        self.assertTrue(token.flags & CKF_USER_PIN_INITIALIZED)
        self.assertIn("CKM_RSA_PKCS", LIB.getMechanismList(self.slot))

    def test_2_sessions_and_login(self):
        session = self.open(rw=False, pin=None)
        rw = self.open(pin=None)
        self.assertEqual(session.getSessionInfo().state, CKS_RO_PUBLIC_SESSION)
        self.assertEqual(rw.getSessionInfo().state, CKS_RW_PUBLIC_SESSION)
        # Public objects without login, the private key only after it.
        self.assertEqual(len(find(session, (PyKCS11.CKA_CLASS, PyKCS11.CKO_PRIVATE_KEY))), 0)
        self.assertEqual(len(find(session, (PyKCS11.CKA_CLASS, PyKCS11.CKO_PUBLIC_KEY))), 1)

        with self.assertRaises(PyKCS11Error) as raised:
            session.login("0000")
        self.assertEqual(raised.exception.value, CKR_PIN_INCORRECT)
        self.assertTrue(LIB.getTokenInfo(self.slot).flags & CKF_USER_PIN_COUNT_LOW)
        session.login(PIN_A)
        self.assertFalse(LIB.getTokenInfo(self.slot).flags & CKF_USER_PIN_COUNT_LOW)
        self.assertEqual(session.getSessionInfo().state, CKS_RO_USER_FUNCTIONS)
        self.assertEqual(rw.getSessionInfo().state, CKS_RW_USER_FUNCTIONS)
        with self.assertRaises(PyKCS11Error) as raised:
            rw.login(PIN_A)
        self.assertEqual(raised.exception.value, CKR_USER_ALREADY_LOGGED_IN)
        self.assertEqual(len(find(session, (PyKCS11.CKA_CLASS, PyKCS11.CKO_PRIVATE_KEY))), 1)
        session.logout()
        self.assertEqual(rw.getSessionInfo().state, CKS_RW_PUBLIC_SESSION)
        session.closeSession()
        with self.assertRaises(PyKCS11Error) as raised:
            session.getSessionInfo()
        self.assertEqual(raised.exception.value, CKR_SESSION_HANDLE_INVALID)

    def test_3_sign_and_decrypt(self):
        session = self.open()
        key = one(session, (PyKCS11.CKA_CLASS, PyKCS11.CKO_PRIVATE_KEY), (PyKCS11.CKA_ID, b"\x01"))
        signature = bytes(session.sign(key, DIGEST_INFO, RSA_PKCS))
        # PKCS#1 v1.5 is deterministic: the card's signature is OpenSSL's with the same key.
        self.assertEqual(signature, KEY_A.sign(DIGEST, padding.PKCS1v15(), Prehashed(hashes.SHA256())))
        check_signature(public_key_of(session, one(session, (PyKCS11.CKA_CLASS, PyKCS11.CKO_PUBLIC_KEY))),
                        signature)

        secret = os.urandom(32)
        cipher = KEY_A.public_key().encrypt(secret, padding.PKCS1v15())
        self.assertEqual(bytes(session.decrypt(key, cipher, RSA_PKCS)), secret)

    def test_4_import(self):
        session = self.open()
        key = session.createObject(private_template(KEY_IMPORT, b"\x02", "imported"))
        certificate = self_signed(KEY_IMPORT, "Backend Import")
        session.createObject([(PyKCS11.CKA_CLASS, PyKCS11.CKO_CERTIFICATE), (PyKCS11.CKA_TOKEN, True),
                              (PyKCS11.CKA_CERTIFICATE_TYPE, PyKCS11.CKC_X_509), (PyKCS11.CKA_ID, b"\x02"),
                              (PyKCS11.CKA_LABEL, "imported cert"), (PyKCS11.CKA_VALUE, certificate)])
        session.createObject([(PyKCS11.CKA_CLASS, PyKCS11.CKO_DATA), (PyKCS11.CKA_TOKEN, True),
                              (PyKCS11.CKA_PRIVATE, False), (PyKCS11.CKA_LABEL, "A data"),
                              (PyKCS11.CKA_VALUE, b"written through the module")])
        check_signature(KEY_IMPORT.public_key(), session.sign(key, DIGEST_INFO, RSA_PKCS))
        # Seen again from a new session once the old ones are gone (read back from the card).
        LIB.closeAllSessions(self.slot)
        session = self.open()
        stored = one(session, (PyKCS11.CKA_CLASS, PyKCS11.CKO_CERTIFICATE), (PyKCS11.CKA_ID, b"\x02"))
        self.assertEqual(bytes(session.getAttributeValue(stored, [PyKCS11.CKA_VALUE])[0]), certificate)
        data = one(session, (PyKCS11.CKA_CLASS, PyKCS11.CKO_DATA), (PyKCS11.CKA_LABEL, "A data"))
        self.assertEqual(bytes(session.getAttributeValue(data, [PyKCS11.CKA_VALUE])[0]),
                         b"written through the module")

    def test_5_generate_sign_delete(self):
        session = self.open()
        public, private = session.generateKeyPair(
            [(PyKCS11.CKA_TOKEN, True), (PyKCS11.CKA_MODULUS_BITS, 2048), (PyKCS11.CKA_ID, b"\x03"),
             (PyKCS11.CKA_LABEL, "generated"), (PyKCS11.CKA_VERIFY, True)],
            [(PyKCS11.CKA_TOKEN, True), (PyKCS11.CKA_PRIVATE, True), (PyKCS11.CKA_SIGN, True),
             (PyKCS11.CKA_ID, b"\x03"), (PyKCS11.CKA_LABEL, "generated")],
            PyKCS11.Mechanism(PyKCS11.CKM_RSA_PKCS_KEY_PAIR_GEN, None))
        check_signature(public_key_of(session, public), session.sign(private, DIGEST_INFO, RSA_PKCS))

        data = one(session, (PyKCS11.CKA_CLASS, PyKCS11.CKO_DATA), (PyKCS11.CKA_LABEL, "A data"))
        for handle in (private, public, data):
            session.destroyObject(handle)
        self.assertEqual(find(session, (PyKCS11.CKA_ID, b"\x03")), [])
        self.assertEqual(find(session, (PyKCS11.CKA_CLASS, PyKCS11.CKO_DATA)), [])

    def test_6_card_pulled(self):
        session = self.open()
        waiter = quiet_wait()
        ENV.pull(0, IMAGE_A)
        self.assertTrue(waiter.woken(10), "C_WaitForSlotEvent not woken by the pulled card")
        self.assertEqual((waiter.rv, waiter.slot.value), (0, self.slot))

        # The first call on the slot finds the card gone and closes its sessions.
        with self.assertRaises(PyKCS11Error) as raised:
            session.findObjects([])
        self.assertEqual(raised.exception.value, CKR_TOKEN_NOT_PRESENT)
        with self.assertRaises(PyKCS11Error) as raised:
            session.getSessionInfo()
        self.assertEqual(raised.exception.value, CKR_SESSION_HANDLE_INVALID)
        self.assertFalse(LIB.getSlotInfo(self.slot).flags & CKF_TOKEN_PRESENT)
        with self.assertRaises(PyKCS11Error) as raised:
            LIB.getTokenInfo(self.slot)
        self.assertEqual(raised.exception.value, CKR_TOKEN_NOT_PRESENT)
        self.assertEqual(LIB.getSlotList(tokenPresent=True), [])

    def test_7_card_changed_and_back(self):
        ENV.insert(0, IMAGE_A)
        wait_for_token(self.slot, CARD_A[16:])
        session = self.open()
        waiter = quiet_wait()
        ENV.pull(0, IMAGE_A)
        ENV.insert(0, IMAGE_B)
        self.assertTrue(waiter.woken(10), "C_WaitForSlotEvent not woken by the changed card")
        self.assertEqual((waiter.rv, waiter.slot.value), (0, self.slot))
        # The first call on the slot notices the other card (by its identifier) and closes the sessions.
        with self.assertRaises(PyKCS11Error) as raised:
            session.login(PIN_A)
        self.assertEqual(raised.exception.value, CKR_DEVICE_REMOVED)
        with self.assertRaises(PyKCS11Error) as raised:
            session.getSessionInfo()
        self.assertEqual(raised.exception.value, CKR_SESSION_HANDLE_INVALID)
        wait_for_token(self.slot, CARD_B[16:])

        other = self.open(pin=PIN_B)
        data = one(other, (PyKCS11.CKA_CLASS, PyKCS11.CKO_DATA))
        self.assertEqual(bytes(other.getAttributeValue(data, [PyKCS11.CKA_VALUE])[0]), b"only on card B")
        self.assertEqual(find(other, (PyKCS11.CKA_CLASS, PyKCS11.CKO_PRIVATE_KEY)), [])

        # Card A again: what the module wrote is on it, what it deleted is not.
        ENV.pull(0, IMAGE_B)
        ENV.insert(0, IMAGE_A)
        wait_for_token(self.slot, CARD_A[16:])
        session = self.open()
        ids = sorted(bytes(session.getAttributeValue(k, [PyKCS11.CKA_ID])[0])
                     for k in find(session, (PyKCS11.CKA_CLASS, PyKCS11.CKO_PRIVATE_KEY)))
        self.assertEqual(ids, [b"\x01", b"\x02"])
        self.assertEqual(len(find(session, (PyKCS11.CKA_CLASS, PyKCS11.CKO_CERTIFICATE))), 1)
        self.assertEqual(find(session, (PyKCS11.CKA_CLASS, PyKCS11.CKO_DATA)), [])
        imported = one(session, (PyKCS11.CKA_CLASS, PyKCS11.CKO_PRIVATE_KEY), (PyKCS11.CKA_ID, b"\x02"))
        check_signature(KEY_IMPORT.public_key(), session.sign(imported, DIGEST_INFO, RSA_PKCS))


@unittest.skipIf(BACKEND == "pcsc", "this is the pcsc run")
class PcscBackend(unittest.TestCase):
    def test_same_suite_over_pcsc(self):
        if os.environ.get("VC_PCSC") != "1":
            self.skipTest("pcsc backend: VC_PCSC=1 not set (the pcsc CI stage sets it)")
        proc = subprocess.run([sys.executable, os.path.abspath(__file__), "--backend", "pcsc"],
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        print(proc.stdout)
        self.assertEqual(proc.returncode, 0, "pcsc backend run failed or was skipped")


if __name__ == "__main__":
    print("backend: %s" % BACKEND)
    try:
        result = unittest.main(exit=False, verbosity=2).result
    finally:
        ENV.cleanup()
    sys.exit(0 if result.wasSuccessful() else 1)
