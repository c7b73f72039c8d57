"""The pcsc reader backend against a real pcscd with vpcd readers.

The test runs its own pcscd (only one can run on a machine: it is skipped when another one
runs, or when pcscd or the vpcd driver is not installed) and plays the cards itself through
vpcd's protocol. It checks what the PC/SC platform layer owes the module: the readers are
the slots, a foreign card is a slot without a token, insertions and removals wake
C_WaitForSlotEvent, C_Finalize ends a blocked wait, and the readers go with the service and
come back with it; and, with the card emulator, that a card reset by another PC/SC client
(opensc-tool) between two signatures is reconnected and selected again. The calls go through
the exported C functions (ctypes releases the GIL, so one thread can block in the module
while another calls it).
"""
import ctypes
import os
import shutil
import signal
import socket
import struct
import subprocess
import tempfile
import threading
import time
import unittest

MODULE = os.environ.get("VC_MODULE_PATH", "build/libvellumcrest-pkcs11.so")
TOOL = os.environ.get("VC_TOOL_PATH", "build/vellumcrest-card")
EMULATOR = os.path.join(os.path.dirname(TOOL), "vellumcrest-card-emu")
PCSCD = shutil.which("pcscd") or "/usr/sbin/pcscd"
VPCD = "/usr/lib/pcsc/drivers/serial/libifdvpcd.so"
SOCKET = "/run/pcscd/pcscd.comm"
READER = "VC Platform"

CKR_OK = 0
CKR_TOKEN_NOT_PRESENT = 0xE0
CKR_CRYPTOKI_NOT_INITIALIZED = 0x190
CKF_TOKEN_PRESENT = 0x1


class SlotInfo(ctypes.Structure):
    _fields_ = [("slotDescription", ctypes.c_char * 64), ("manufacturerID", ctypes.c_char * 32),
                ("flags", ctypes.c_ulong), ("hardwareVersion", ctypes.c_ubyte * 2),
                ("firmwareVersion", ctypes.c_ubyte * 2)]


def free_port_pair():
    for _ in range(50):
        with socket.socket() as probe:
            probe.bind(("127.0.0.1", 0))
            port = probe.getsockname()[1]
        if port >= 65535:
            continue
        try:
            with socket.socket() as a, socket.socket() as b:
                a.bind(("127.0.0.1", port))
                b.bind(("127.0.0.1", port + 1))
            return port
        except OSError:
            continue
    raise unittest.SkipTest("no two free consecutive ports")


def foreign_env():
    """The environment for programs that are not ours (a sanitizer runtime preloaded for the
    module is not theirs)."""
    env = dict(os.environ)
    env.pop("LD_PRELOAD", None)
    return env


def die_with_parent():
    """A pcscd left behind by a killed test would keep every later one from starting."""
    ctypes.CDLL(None).prctl(1, signal.SIGTERM)  # PR_SET_PDEATHSIG


def pcscd_running():
    """A pcscd answers on its socket (a stale socket file does not)."""
    with socket.socket(socket.AF_UNIX) as probe:
        try:
            probe.connect(SOCKET)
            return True
        except OSError:
            return False


class VpcdCard:
    """A card in a vpcd reader: connected is inserted. Answers every APDU with sw."""

    ATR = bytes.fromhex("3B8080010101")

    def __init__(self, port, sw=b"\x6A\x82"):
        self.port, self.sw = port, sw
        self.sock = None
        self.thread = None

    def insert(self, timeout=10):
        deadline = time.time() + timeout
        while True:
            try:
                self.sock = socket.create_connection(("127.0.0.1", self.port), timeout=1)
                break
            except OSError:
                if time.time() > deadline:
                    raise
                time.sleep(0.1)
        self.sock.settimeout(None)
        self.thread = threading.Thread(target=self._serve, args=(self.sock,), daemon=True)
        self.thread.start()

    @staticmethod
    def _recv(sock, n):
        data = b""
        while len(data) < n:
            chunk = sock.recv(n - len(data))
            if not chunk:
                raise EOFError
            data += chunk
        return data

    def _serve(self, sock):
        try:
            while True:
                (length,) = struct.unpack(">H", self._recv(sock, 2))
                message = self._recv(sock, length)
                if length == 1:
                    if message[0] == 4:
                        sock.sendall(struct.pack(">H", len(self.ATR)) + self.ATR)
                    continue
                sock.sendall(struct.pack(">H", len(self.sw)) + self.sw)
        except (EOFError, OSError):
            pass

    def pull(self):
        sock, self.sock = self.sock, None
        if sock is not None:
            try:
                sock.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
            sock.close()
        if self.thread is not None:
            self.thread.join(5)


class Pcscd:
    def __init__(self, root, port):
        self.conf = os.path.join(root, "reader.conf.d")
        os.makedirs(self.conf, exist_ok=True)
        with open(os.path.join(self.conf, "vpcd"), "w") as f:
            f.write('FRIENDLYNAME "%s"\nDEVICENAME /dev/null:0x%X\nLIBPATH %s\nCHANNELID 0x%X\n'
                    % (READER, port, VPCD, port))
        self.proc = None
        self.log = os.path.join(root, "pcscd.log")

    def start(self):
        with open(self.log, "a") as log:
            self.proc = subprocess.Popen([PCSCD, "--foreground", "-c", self.conf], stdout=log,
                                         stderr=subprocess.STDOUT, env=foreign_env(), preexec_fn=die_with_parent)
        deadline = time.time() + 10
        while not os.path.exists(SOCKET) and time.time() < deadline:
            time.sleep(0.05)
        time.sleep(0.5)  # the readers of the configuration come up after the socket

    def stop(self):
        if self.proc is not None:
            self.proc.terminate()
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
            self.proc = None


def setUpModule():
    global ROOT, DAEMON, PORT, LIB
    for path, what in ((PCSCD, "pcscd"), (VPCD, "the vpcd driver (vsmartcard-vpcd)")):
        if not os.path.exists(path):
            raise unittest.SkipTest("skipped: %s is not installed" % what)
    if pcscd_running():
        raise unittest.SkipTest("skipped: a pcscd is already running (one per machine)")
    base = os.environ.get("VC_TEST_TMP", tempfile.gettempdir())
    os.makedirs(base, exist_ok=True)
    ROOT = tempfile.mkdtemp(prefix="pcsc-platform-", dir=base)
    config = os.path.join(ROOT, "vellumcrest.conf")
    with open(config, "w") as f:
        f.write("[Core]\nReaderBackend=pcsc\nLogFile=%s/vellumcrest.log\n"
                "[Pkcs11]\nLogLevelPkcs11=3\nLogLevelCore=4\n" % ROOT)
    os.environ["VELLUMCREST_CONFIG"] = config
    LIB = ctypes.CDLL(MODULE)
    for name in ("C_Initialize", "C_Finalize", "C_GetSlotList", "C_GetSlotInfo", "C_WaitForSlotEvent",
                 "C_OpenSession"):
        getattr(LIB, name).restype = ctypes.c_ulong
    PORT = free_port_pair()
    DAEMON = Pcscd(ROOT, PORT)
    DAEMON.start()


def tearDownModule():
    DAEMON.stop()
    shutil.rmtree(ROOT, ignore_errors=True)


def slots(token_present=False):
    count = ctypes.c_ulong(0)
    assert LIB.C_GetSlotList(ctypes.c_ubyte(token_present), None, ctypes.byref(count)) == CKR_OK
    ids = (ctypes.c_ulong * max(count.value, 1))()
    assert LIB.C_GetSlotList(ctypes.c_ubyte(token_present), ids, ctypes.byref(count)) == CKR_OK
    return list(ids[:count.value])


def slot_info(slot):
    info = SlotInfo()
    assert LIB.C_GetSlotInfo(ctypes.c_ulong(slot), ctypes.byref(info)) == CKR_OK
    return info.slotDescription.decode().rstrip(), info.flags


# Signs a line's worth at a time in a process of its own, with one session throughout.
SIGNER = r"""
import sys, PyKCS11
lib = PyKCS11.PyKCS11Lib()
lib.load(sys.argv[1])
slot = [s for s in lib.getSlotList(tokenPresent=True)
        if lib.getSlotInfo(s).slotDescription.strip() == sys.argv[2]][0]
session = lib.openSession(slot)
session.login("1234")
key = session.findObjects([(PyKCS11.CKA_CLASS, PyKCS11.CKO_PRIVATE_KEY)])[0]
for line in sys.stdin:
    try:
        print(len(session.sign(key, b"0" * 35, PyKCS11.Mechanism(PyKCS11.CKM_RSA_PKCS))), flush=True)
    except PyKCS11.PyKCS11Error as e:
        print(e, flush=True)
"""


def read_log():
    with open(os.path.join(ROOT, "vellumcrest.log"), errors="replace") as f:
        return f.read()


class Waiter(threading.Thread):
    def __init__(self):
        super().__init__(daemon=True)
        self.rv, self.slot = None, None

    def run(self):
        slot = ctypes.c_ulong(0)
        self.rv = LIB.C_WaitForSlotEvent(ctypes.c_ulong(0), ctypes.byref(slot), None)
        self.slot = slot.value


def wait_event(timeout=10):
    waiter = Waiter()
    waiter.start()
    waiter.join(timeout)
    assert not waiter.is_alive(), "C_WaitForSlotEvent did not return"
    return waiter.rv, waiter.slot


class PcscPlatformTest(unittest.TestCase):
    def setUp(self):
        self.assertEqual(LIB.C_Initialize(None), CKR_OK)

    def tearDown(self):
        LIB.C_Finalize(None)

    def by_name(self):
        return {slot_info(s)[0]: s for s in slots()}

    def test_readers_cards_and_events(self):
        names = self.by_name()
        first, second = READER + " 00 00", READER + " 00 01"
        self.assertIn(first, names)
        self.assertIn(second, names)
        self.assertEqual(slots(token_present=True), [])

        # A foreign card (refusing our application, or answering garbage): an event on its
        # slot, a slot without a token, refused sessions; pulled out: another event.
        for answer in (b"\x6A\x82", b"\x90"):
            card = VpcdCard(PORT, answer)
            reported = read_log().count("neni podporovana")
            card.insert()
            rv, slot = wait_event()
            self.assertEqual((rv, slot), (CKR_OK, names[first]))
            deadline = time.time() + 5
            while read_log().count("neni podporovana") == reported and time.time() < deadline:
                slot_info(slot)
                time.sleep(0.1)
            self.assertEqual(read_log().count("neni podporovana"), reported + 1, answer)
            self.assertFalse(slot_info(slot)[1] & CKF_TOKEN_PRESENT)
            self.assertEqual(slots(token_present=True), [])
            session = ctypes.c_ulong(0)
            self.assertEqual(LIB.C_OpenSession(ctypes.c_ulong(slot), ctypes.c_ulong(4), None, None,
                                               ctypes.byref(session)), CKR_TOKEN_NOT_PRESENT)
            card.pull()
            self.assertEqual(wait_event(), (CKR_OK, names[first]))
        # Nothing happens: C_Finalize in another thread ends the wait.
        waiter = Waiter()
        waiter.start()
        time.sleep(0.5)
        self.assertTrue(waiter.is_alive(), "C_WaitForSlotEvent returned without an event")
        LIB.C_Finalize(None)
        waiter.join(5)
        self.assertFalse(waiter.is_alive(), "C_Finalize did not end C_WaitForSlotEvent")
        self.assertEqual(waiter.rv, CKR_CRYPTOKI_NOT_INITIALIZED)

    def test_a_card_reset_by_another_client_is_reconnected(self):
        opensc_tool = shutil.which("opensc-tool")
        if not (os.path.exists(EMULATOR) and os.path.exists(TOOL) and opensc_tool):
            self.skipTest("skipped: needs vellumcrest-card-emu, the card tool and opensc-tool")
        image = os.path.join(ROOT, "card.vcard")
        for args in (["card-create", image, "--type", "1", "--user-pin", "1234", "--so-pin", "12345678"],
                     ["key-generate", image, "--bits", "1024", "--label", "k", "--id", "01"]):
            subprocess.run([TOOL] + args, check=True, stdout=subprocess.DEVNULL)
        reader = READER + " 00 01"
        slot = self.by_name()[reader]
        emulator = subprocess.Popen([EMULATOR, "--vpcd-port", str(PORT + 1), image], stdout=subprocess.DEVNULL)
        signer = None
        try:
            self.assertEqual(wait_event(), (CKR_OK, slot))
            signer = subprocess.Popen(["/usr/bin/python3", "-c", SIGNER, MODULE, reader], stdin=subprocess.PIPE,
                                      stdout=subprocess.PIPE, text=True)

            def sign():
                signer.stdin.write("sign\n")
                signer.stdin.flush()
                return signer.stdout.readline().strip()

            self.assertEqual(sign(), "128")
            for kind in ("cold", "warm"):
                subprocess.run([opensc_tool, "-r", "1", "--reset", kind], check=True, stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL, env=foreign_env())
                self.assertEqual(sign(), "128", "signature after a %s reset" % kind)
            self.assertIn("byla resetovana, znovu pripojena", read_log())
        finally:
            if signer is not None:
                signer.stdin.close()
                signer.wait(10)
                signer.stdout.close()
            emulator.terminate()
            emulator.wait(10)
        self.assertEqual(wait_event(), (CKR_OK, slot))

    def test_readers_go_and_come_back_with_the_service(self):
        self.assertEqual(len(self.by_name()), 2)
        DAEMON.stop()
        try:
            # The readers vanish with the service: an event, then no slots, no failure.
            rv, _ = wait_event()
            self.assertEqual(rv, CKR_OK)
            self.assertEqual(slots(), [])
        finally:
            DAEMON.start()
        # A new service: the module makes a new context and finds the readers again.
        deadline = time.time() + 10
        while len(slots()) < 2 and time.time() < deadline:
            time.sleep(0.2)
        self.assertEqual(sorted(self.by_name()), [READER + " 00 00", READER + " 00 01"])
        self.assertNotIn("Core ERROR", read_log())


if __name__ == "__main__":
    unittest.main()
