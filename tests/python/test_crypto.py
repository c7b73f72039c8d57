"""Digest, sign, verify, encrypt and decrypt through PyKCS11 on a virtual card."""
import hashlib
import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import vctest  # noqa: E402

ENV = vctest.Env()
import PyKCS11  # noqa: E402

PIN = "pyQ7zK"
ENV.reader_with_card("PyReader", 1, PIN, "13572468")
ENV.tool("key-generate", "@PyReader", "--bits", "2048", "--id", "42", "--usage", "sign,decrypt")
LIB = vctest.load()

SHA256_PREFIX = bytes.fromhex("3031300d060960864801650304020105000420")


def rsa_pkcs():
    return PyKCS11.Mechanism(PyKCS11.CKM_RSA_PKCS, None)


class CryptoTest(unittest.TestCase):
    def setUp(self):
        slot = LIB.getSlotList(tokenPresent=True)[0]
        self.session = LIB.openSession(slot, PyKCS11.CKF_SERIAL_SESSION)
        self.session.login(PIN)
        self.private = self.session.findObjects([(PyKCS11.CKA_CLASS, PyKCS11.CKO_PRIVATE_KEY)])[0]
        self.public = self.session.findObjects([(PyKCS11.CKA_CLASS, PyKCS11.CKO_PUBLIC_KEY)])[0]

    def tearDown(self):
        self.session.logout()
        self.session.closeSession()

    def test_digests_match_hashlib(self):
        data = b"PyKCS11 digest input " * 50
        for mech, name in ((PyKCS11.CKM_MD5, "md5"), (PyKCS11.CKM_SHA_1, "sha1"),
                           (PyKCS11.CKM_SHA224, "sha224"), (PyKCS11.CKM_SHA256, "sha256"),
                           (PyKCS11.CKM_SHA384, "sha384"), (PyKCS11.CKM_SHA512, "sha512")):
            with self.subTest(name):
                single = bytes(self.session.digest(data, PyKCS11.Mechanism(mech, None)))
                self.assertEqual(single, hashlib.new(name, data).digest())
                multi = self.session.digestSession(PyKCS11.Mechanism(mech, None))
                multi.update(data[:100])
                multi.update(data[100:])
                self.assertEqual(bytes(multi.final()), hashlib.new(name, data).digest())

    def test_sign_and_verify(self):
        info = SHA256_PREFIX + hashlib.sha256(b"python message").digest()
        signature = bytes(self.session.sign(self.private, info, rsa_pkcs()))
        self.assertEqual(len(signature), 256)
        self.assertTrue(self.session.verify(self.public, info, signature, rsa_pkcs()))
        digest_mech = PyKCS11.Mechanism(PyKCS11.CKM_SHA256_RSA_PKCS, None)
        self.assertTrue(self.session.verify(self.public, hashlib.sha256(b"python message").digest(),
                                            signature, digest_mech))
        bad = bytearray(signature)
        bad[0] ^= 0xFF
        self.assertFalse(self.session.verify(self.public, info, bytes(bad), rsa_pkcs()))

    def test_hash_and_sign_mechanism_is_refused_for_signing(self):
        with self.assertRaises(PyKCS11.PyKCS11Error) as caught:
            self.session.sign(self.private, b"data", PyKCS11.Mechanism(PyKCS11.CKM_SHA256_RSA_PKCS, None))
        self.assertEqual(caught.exception.value, PyKCS11.CKR_MECHANISM_INVALID)

    def test_encrypt_decrypt_round_trip(self):
        plain = b"wrapped session key"
        cipher = bytes(self.session.encrypt(self.public, plain, rsa_pkcs()))
        self.assertEqual(len(cipher), 256)
        self.assertEqual(bytes(self.session.decrypt(self.private, cipher, rsa_pkcs())), plain)

    def test_unsupported_functions(self):
        with self.assertRaises(PyKCS11.PyKCS11Error) as caught:
            self.session.generateRandom(16)
        self.assertEqual(caught.exception.value, PyKCS11.CKR_FUNCTION_NOT_SUPPORTED)
        with self.assertRaises(PyKCS11.PyKCS11Error) as caught:
            self.session.seedRandom(b"seed")
        self.assertEqual(caught.exception.value, PyKCS11.CKR_FUNCTION_NOT_SUPPORTED)

    def test_pin_not_in_log(self):
        info = SHA256_PREFIX + hashlib.sha256(b"x").digest()
        self.session.sign(self.private, info, rsa_pkcs())
        log = ENV.read_log()
        self.assertIn("Pkcs11Provider::C_Sign() => CKR_OK", log)
        self.assertNotIn(PIN, log)


if __name__ == "__main__":
    try:
        result = unittest.main(exit=False, verbosity=2).result
    finally:
        ENV.cleanup()
    sys.exit(0 if result.wasSuccessful() else 1)
