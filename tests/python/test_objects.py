"""Objects through PyKCS11: search before and after login, and CKA_ALWAYS_AUTHENTICATE of an
e-signature key for a trusted and for an untrusted process.

The trusted-applications list is read when the library is loaded, so this process writes it
before loading the module; the untrusted case runs in a child process with a list whose hash
does not match.
"""
import hashlib
import os
import subprocess
import sys
import unittest

import PyKCS11
from PyKCS11.LowLevel import CKA_ALWAYS_AUTHENTICATE

import vctest

CKA_ESIGN = 0x80000013
PIN = "1234"
CHILD = os.environ.get("VC_OBJECTS_CHILD")  # "untrusted" in the child process

ENV = None
LIB = None


def write_trusted_list(env, matching):
    exe = os.path.realpath("/proc/self/exe")
    with open(exe, "rb") as f:
        digest = hashlib.sha256(f.read()).hexdigest()
    if not matching:
        digest = ("0" if digest[0] != "0" else "1") + digest[1:]
    path = os.path.join(env.root, "programdata", "Orvo Vellumcrest", "trustedapps.ocf")
    with open(path, "w") as f:
        f.write("# test list\n%s  %s\n" % (digest, exe))


def setUpModule():
    global ENV, LIB
    ENV = vctest.Env()
    write_trusted_list(ENV, matching=CHILD != "untrusted")
    card = ENV.reader_with_card("py-esign", 4)
    ENV.tool("key-generate", card, "--bits", "1024", "--usage", "esign", "--id", "e1e2", "--label", "Esign")
    ENV.tool("key-generate", card, "--bits", "1024", "--usage", "sign", "--id", "5151", "--label", "Plain")
    LIB = vctest.load()


def tearDownModule():
    if LIB is not None:
        try:
            LIB.lib.C_Finalize()
        except Exception:
            pass
    if ENV is not None:
        ENV.cleanup()


class ObjectsTest(unittest.TestCase):
    def setUp(self):
        slots = LIB.getSlotList(tokenPresent=True)
        self.assertEqual(len(slots), 1)
        self.slot = slots[0]
        self.session = LIB.openSession(self.slot)

    def tearDown(self):
        LIB.closeAllSessions(self.slot)

    def private_key(self, key_id):
        found = self.session.findObjects([(PyKCS11.CKA_CLASS, PyKCS11.CKO_PRIVATE_KEY),
                                          (PyKCS11.CKA_ID, key_id)])
        self.assertEqual(len(found), 1)
        return found[0]

    def test_private_keys_after_login_and_always_authenticate_by_process_trust(self):
        classes = lambda: sorted(self.session.getAttributeValue(o, [PyKCS11.CKA_CLASS])[0]
                                 for o in self.session.findObjects([]))
        self.assertEqual(classes(), [PyKCS11.CKO_PUBLIC_KEY] * 2)
        self.session.login(PIN)
        self.assertEqual(classes(), [PyKCS11.CKO_PUBLIC_KEY] * 2 + [PyKCS11.CKO_PRIVATE_KEY] * 2)
        esign = self.private_key(bytes.fromhex("e1e2"))
        plain = self.private_key(bytes.fromhex("5151"))
        always, = self.session.getAttributeValue(esign, [CKA_ALWAYS_AUTHENTICATE])
        self.assertEqual(bool(always), CHILD == "untrusted")
        flag, = self.session.getAttributeValue(esign, [CKA_ESIGN])
        self.assertEqual(bytes(flag), b"\x01")
        plain_always, = self.session.getAttributeValue(plain, [CKA_ALWAYS_AUTHENTICATE])
        self.assertFalse(plain_always)

    @unittest.skipIf(CHILD, "checked once, in the trusted process")
    def test_untrusted_process(self):
        env = dict(os.environ, VC_OBJECTS_CHILD="untrusted")
        proc = subprocess.run([sys.executable, os.path.abspath(__file__)], env=env,
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        self.assertEqual(proc.returncode, 0, proc.stdout)


if __name__ == "__main__":
    unittest.main()
