"""Test environment for PyKCS11 black-box tests.

Each test module calls ``setup_env()`` before loading the module: it makes a temporary
directory with a readers directory, a configuration file and a log file and points the
module at them through the environment, then ``load()`` gives a PyKCS11Lib.
"""
import os
import shlex
import shutil
import subprocess
import tempfile

import PyKCS11

MODULE = os.environ.get("VC_MODULE_PATH", "build/libvellumcrest-pkcs11.so")
TOOL = os.environ.get("VC_TOOL_PATH", "build/vellumcrest-card")


class Env:
    def __init__(self, extra_config=""):
        base = os.environ.get("VC_TEST_TMP", tempfile.gettempdir())
        os.makedirs(base, exist_ok=True)
        self.root = tempfile.mkdtemp(prefix="py-", dir=base)
        self.readers = os.path.join(self.root, "readers")
        self.log = os.path.join(self.root, "vellumcrest.log")
        self.config = os.path.join(self.root, "vellumcrest.conf")
        os.makedirs(self.readers)
        os.makedirs(os.path.join(self.root, "programdata", "Orvo Vellumcrest"))
        with open(self.config, "w") as f:
            f.write("[Core]\nLogFile=%s\nReadersDir=%s\nVersion=4.0.0-test\nCustomerCode=7\n"
                    "[Pkcs11]\nLogLevelPkcs11=4\nLogLevelCore=4\n" % (self.log, self.readers))
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


def load():
    lib = PyKCS11.PyKCS11Lib()
    lib.load(MODULE)
    return lib
