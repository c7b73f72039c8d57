"""One application's crypto flow through PyKCS11 on a virtual card: digest, sign, verify,
encrypt and decrypt. Mechanism details and error cases are covered by the gtest suites."""
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
RSA = PyKCS11.Mechanism(PyKCS11.CKM_RSA_PKCS, None)


class CryptoFlow(unittest.TestCase):
    def test_digest_sign_verify_encrypt_decrypt(self):
        session = LIB.openSession(LIB.getSlotList(tokenPresent=True)[0], PyKCS11.CKF_SERIAL_SESSION)
        session.login(PIN)
        private = session.findObjects([(PyKCS11.CKA_CLASS, PyKCS11.CKO_PRIVATE_KEY)])[0]
        public = session.findObjects([(PyKCS11.CKA_CLASS, PyKCS11.CKO_PUBLIC_KEY)])[0]

        message = b"python message " * 20
        digest = bytes(session.digest(message, PyKCS11.Mechanism(PyKCS11.CKM_SHA256, None)))
        self.assertEqual(digest, hashlib.sha256(message).digest())

        info = SHA256_PREFIX + digest
        signature = bytes(session.sign(private, info, RSA))
        self.assertEqual(len(signature), 256)
        self.assertTrue(session.verify(public, info, signature, RSA))
        self.assertTrue(session.verify(public, digest, signature,
                                       PyKCS11.Mechanism(PyKCS11.CKM_SHA256_RSA_PKCS, None)))
        bad = bytearray(signature)
        bad[0] ^= 0xFF
        self.assertFalse(session.verify(public, info, bytes(bad), RSA))

        cipher = bytes(session.encrypt(public, b"wrapped session key", RSA))
        self.assertEqual(bytes(session.decrypt(private, cipher, RSA)), b"wrapped session key")
        session.logout()
        session.closeSession()


if __name__ == "__main__":
    try:
        result = unittest.main(exit=False, verbosity=2).result
    finally:
        ENV.cleanup()
    sys.exit(0 if result.wasSuccessful() else 1)
