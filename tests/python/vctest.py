"""Test environment for PyKCS11 black-box tests.

Each test module calls ``setup_env()`` before loading the module: it makes a temporary
directory with a readers directory, a configuration file and a log file and points the
module at them through the environment, then ``load()`` gives a PyKCS11Lib.

``backend_env(name)`` gives the same for one reader backend: ``Env`` for "directory" (readers
made with the card tool) or ``PcscEnv`` for "pcsc" (a private pcscd with two vpcd readers, cards
served by the card emulator). Both offer ``READERS`` and ``insert``/``pull`` of a card image.
"""
import atexit
import os
import shlex
import shutil
import subprocess
import tempfile

import PyKCS11

MODULE = os.environ.get("VC_MODULE_PATH", "build/libvellumcrest-pkcs11.so")
TOOL = os.environ.get("VC_TOOL_PATH", "build/vellumcrest-card")
PCSC_HARNESS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts", "pcsc-env.sh")


class Env:
    READERS = ("Vellumcrest Virtual 00 00", "Vellumcrest Virtual 00 01")  # named like pcscd's vpcd readers

    def __init__(self, extra_config="", core_config=""):
        base = os.environ.get("VC_TEST_TMP", tempfile.gettempdir())
        os.makedirs(base, exist_ok=True)
        self.root = tempfile.mkdtemp(prefix="py-", dir=base)
        self.readers = os.path.join(self.root, "readers")
        self.log = os.path.join(self.root, "vellumcrest.log")
        self.config = os.path.join(self.root, "vellumcrest.conf")
        os.makedirs(self.readers)
        os.makedirs(os.path.join(self.root, "programdata", "Orvo Vellumcrest"))
        with open(self.config, "w") as f:
            f.write("[Core]\nLogFile=%s\nReadersDir=%s\nVersion=4.0.0-test\nCustomerCode=7\n%s"
                    "[Pkcs11]\nLogLevelPkcs11=4\nLogLevelCore=4\n" % (self.log, self.readers, core_config))
            f.write(extra_config)
        os.environ["VELLUMCREST_CONFIG"] = self.config
        os.environ["VELLUMCREST_READERS_DIR"] = self.readers
        os.environ["ProgramData"] = os.path.join(self.root, "programdata")

    def tool(self, *args, check=True):
        cmd = [TOOL, "--readers-dir", self.readers] + [str(a) for a in args]
        proc = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        if check and proc.returncode != 0:
            raise AssertionError("%s failed: %s" % (" ".join(map(shlex.quote, cmd)), proc.stdout))
        return proc.stdout

    def reader_with_card(self, reader, card_type=1, user_pin="1234", so_pin="12345678", *extra):
        self.tool("reader-add", reader)
        image = os.path.join(self.root, reader + ".vcard")
        args = ["card-create", image, "--type", card_type]
        if user_pin:
            args += ["--user-pin", user_pin]
        if so_pin:
            args += ["--so-pin", so_pin]
        self.tool(*(args + list(extra)))
        self.tool("card-insert", reader, image)
        return "@" + reader

    def add_readers(self):
        """The two readers of READERS, empty."""
        for name in self.READERS:
            self.tool("reader-add", name)

    def insert(self, index, image):
        """The card image into reader READERS[index]; pull() puts it back to the same path."""
        self.tool("card-insert", self.READERS[index], image)

    def foreign(self, index):
        """A card the module does not know into reader READERS[index] (pull it without an image)."""
        with open(self._card_file(index), "wb") as f:
            f.write(b"not a card of ours " * 16)

    def pull(self, index, image=None):
        if image is None:
            os.remove(self._card_file(index))
        else:
            self.tool("card-remove", self.READERS[index], image)

    def _card_file(self, index):
        for entry in os.listdir(self.readers):
            try:
                with open(os.path.join(self.readers, entry, "reader.conf")) as f:
                    if "name=%s\n" % self.READERS[index] in f.read():
                        return os.path.join(self.readers, entry, "card.vcard")
            except OSError:
                continue
        raise AssertionError("no reader %r" % self.READERS[index])

    def read_log(self):
        try:
            with open(self.log, errors="replace") as f:
                return f.read()
        except FileNotFoundError:
            return ""

    def clear_log(self):
        open(self.log, "w").close()

    def cleanup(self):
        if not os.environ.get("VC_KEEP_TMP"):
            shutil.rmtree(self.root, ignore_errors=True)


class PcscEnv(Env):
    """An Env whose module reads its readers through pcsc-lite: a pcscd of its own with two vpcd
    readers (READERS), a card in one being the card emulator serving an image there."""

    @staticmethod
    def why_not():
        """None when pcscd, vpcd and the emulator are there and no other pcscd runs, else why not."""
        proc = subprocess.run(["bash", PCSC_HARNESS, "check"], stdout=subprocess.PIPE,
                              stderr=subprocess.STDOUT, text=True, env=PcscEnv._harness_env())
        return None if proc.returncode == 0 else proc.stdout.strip()

    @staticmethod
    def _harness_env():
        return dict(os.environ, VC_TOOL_PATH=TOOL)

    def __init__(self, extra_config=""):
        super().__init__(extra_config, core_config="ReaderBackend=pcsc\n")
        self.pcsc = os.path.join(self.root, "pcsc")
        self._harness("start", self.pcsc, "--owner", os.getpid())
        atexit.register(self.stop)
        with open(os.path.join(self.pcsc, "readers")) as f:  # "PORT<TAB>NAME" lines
            self.READERS = tuple(line.rstrip("\n").split("\t", 1)[1] for line in f)

    def _harness(self, *args):
        proc = subprocess.run(["bash", PCSC_HARNESS] + [str(a) for a in args], stdout=subprocess.PIPE,
                              stderr=subprocess.STDOUT, text=True, env=self._harness_env())
        if proc.returncode != 0:
            raise AssertionError("pcsc-env.sh %s failed: %s" % (" ".join(map(str, args)), proc.stdout))
        return proc.stdout

    def add_readers(self):
        pass  # pcscd has them from the start

    def insert(self, index, image):
        self._harness("card", self.pcsc, index, image)

    def foreign(self, index):
        self._harness("foreign", self.pcsc, index)

    def pull(self, index, image=None):
        self._harness("pull", self.pcsc, index)

    def stop(self):
        if os.path.isdir(self.pcsc):
            subprocess.run(["bash", PCSC_HARNESS, "stop", self.pcsc], env=self._harness_env())

    def cleanup(self):
        self.stop()
        super().cleanup()


def backend_env(name, extra_config=""):
    return PcscEnv(extra_config) if name == "pcsc" else Env(extra_config)


def load():
    lib = PyKCS11.PyKCS11Lib()
    lib.load(MODULE)
    return lib
