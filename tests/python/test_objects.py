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

ENV = vctest.Env()
exe = os.path.realpath("/proc/self/exe")
with open(exe, "rb") as f:
    digest = hashlib.sha256(f.read()).hexdigest()
if CHILD == "untrusted":
    digest = ("0" if digest[0] != "0" else "1") + digest[1:]
with open(os.path.join(ENV.root, "programdata", "Orvo Vellumcrest", "trustedapps.ocf"), "w") as f:
    f.write("# test list\n%s  %s\n" % (digest, exe))
CARD = ENV.reader_with_card("py-esign", 4)
ENV.tool("key-generate", CARD, "--bits", "1024", "--usage", "esign", "--id", "e1e2", "--label", "Esign")
ENV.tool("key-generate", CARD, "--bits", "1024", "--usage", "sign", "--id", "5151", "--label", "Plain")
LIB = vctest.load()


class ObjectsTest(unittest.TestCase):
    def test_private_keys_after_login_and_always_authenticate_by_process_trust(self):
        session = LIB.openSession(LIB.getSlotList(tokenPresent=True)[0])
        classes = lambda: sorted(session.getAttributeValue(o, [PyKCS11.CKA_CLASS])[0]
                                 for o in session.findObjects([]))
        self.assertEqual(classes(), [PyKCS11.CKO_PUBLIC_KEY] * 2)
        session.login(PIN)
        self.assertEqual(classes(), [PyKCS11.CKO_PUBLIC_KEY] * 2 + [PyKCS11.CKO_PRIVATE_KEY] * 2)

        def private_key(key_id):
            found = session.findObjects([(PyKCS11.CKA_CLASS, PyKCS11.CKO_PRIVATE_KEY),
                                         (PyKCS11.CKA_ID, bytes.fromhex(key_id))])
            self.assertEqual(len(found), 1)
            return found[0]
        esign, plain = private_key("e1e2"), private_key("5151")
        always, flag = session.getAttributeValue(esign, [CKA_ALWAYS_AUTHENTICATE, CKA_ESIGN])
        self.assertEqual(bool(always), CHILD == "untrusted")
        self.assertEqual(bytes(flag), b"\x01")
        self.assertFalse(session.getAttributeValue(plain, [CKA_ALWAYS_AUTHENTICATE])[0])
        session.closeSession()

    @unittest.skipIf(CHILD, "checked once, in the trusted process")
    def test_untrusted_process(self):
        env = dict(os.environ, VC_OBJECTS_CHILD="untrusted")
        proc = subprocess.run([sys.executable, os.path.abspath(__file__)], env=env,
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        self.assertEqual(proc.returncode, 0, proc.stdout)


if __name__ == "__main__":
    try:
        result = unittest.main(exit=False, verbosity=2).result
    finally:
        ENV.cleanup()
    sys.exit(0 if result.wasSuccessful() else 1)
