"""Objects through PyKCS11: search and attribute reading, and CKA_ALWAYS_AUTHENTICATE of an
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
CKA_VELLUMCREST_PROOF = 0x80000012
PIN = "1234"
CHILD = os.environ.get("VC_OBJECTS_CHILD")  # "untrusted" in the child process

ENV = None
LIB = None
CERT_DER = None


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
    global ENV, LIB, CERT_DER
    ENV = vctest.Env()
    write_trusted_list(ENV, matching=CHILD != "untrusted")
    card = ENV.reader_with_card("py-esign", 4)
    ENV.tool("key-generate", card, "--bits", "1024", "--usage", "esign", "--id", "e1e2", "--label", "Esign")
    ENV.tool("key-generate", card, "--bits", "1024", "--usage", "sign", "--id", "5151", "--label", "Plain")
    key = os.path.join(ENV.root, "self.key")
    pem = os.path.join(ENV.root, "self.pem")
    der = os.path.join(ENV.root, "self.der")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:1024", "-nodes", "-keyout", key, "-out", pem,
                    "-days", "5", "-subj", "/CN=Python Self Signed"], check=True, stderr=subprocess.DEVNULL)
    subprocess.run(["openssl", "x509", "-in", pem, "-outform", "DER", "-out", der], check=True)
    with open(der, "rb") as f:
        CERT_DER = f.read()
    ENV.tool("cert-add", card, "--der", der, "--kind", "root", "--label", "Self", "--id", "0a0b")
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

    def test_always_authenticate_follows_process_trust(self):
        self.session.login(PIN)
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

    @unittest.skipIf(CHILD, "checked in the trusted process")
    def test_certificate_search_and_value(self):
        certs = self.session.findObjects([(PyKCS11.CKA_CLASS, PyKCS11.CKO_CERTIFICATE)])
        self.assertEqual(len(certs), 1)
        value, label, category, cert_id = self.session.getAttributeValue(
            certs[0], [PyKCS11.CKA_VALUE, PyKCS11.CKA_LABEL, PyKCS11.CKA_CERTIFICATE_CATEGORY, PyKCS11.CKA_ID])
        self.assertEqual(bytes(value), CERT_DER)
        self.assertEqual(label, "Self")
        self.assertEqual(int.from_bytes(bytes(category), sys.byteorder), 2)  # authority
        self.assertEqual(bytes(cert_id), bytes.fromhex("0a0b"))
        by_value = self.session.findObjects([(PyKCS11.CKA_VALUE, CERT_DER)])
        self.assertEqual([h.value() for h in by_value], [h.value() for h in certs])

    @unittest.skipIf(CHILD, "checked in the trusted process")
    def test_private_keys_only_after_login(self):
        classes = lambda: sorted(self.session.getAttributeValue(o, [PyKCS11.CKA_CLASS])[0]
                                 for o in self.session.findObjects([]))
        self.assertEqual(classes(), [PyKCS11.CKO_CERTIFICATE, PyKCS11.CKO_PUBLIC_KEY, PyKCS11.CKO_PUBLIC_KEY])
        self.session.login(PIN)
        self.assertEqual(classes(), [PyKCS11.CKO_CERTIFICATE, PyKCS11.CKO_PUBLIC_KEY, PyKCS11.CKO_PUBLIC_KEY,
                                     PyKCS11.CKO_PRIVATE_KEY, PyKCS11.CKO_PRIVATE_KEY])
        key = self.private_key(bytes.fromhex("5151"))
        # PyKCS11 turns CKR_ATTRIBUTE_SENSITIVE into None.
        exponent, label = self.session.getAttributeValue(key, [PyKCS11.CKA_PRIVATE_EXPONENT, PyKCS11.CKA_LABEL])
        self.assertIsNone(exponent)
        self.assertEqual(label, "Plain")
        proof, = self.session.getAttributeValue(key, [CKA_VELLUMCREST_PROOF])
        self.assertGreater(len(proof), 0)


if __name__ == "__main__":
    unittest.main()
