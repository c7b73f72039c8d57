#!/usr/bin/python3
"""Benchmark: C_GetSlotList after many readers came and went.

One reader keeps a card; a second reader directory is renamed N times (reader.conf gets a
new name, and the slots are listed after each rename), as a reader that is unplugged and
plugged back under changing names. Then the listing is timed. A listing should cost about
the same as with two readers: readers that are gone leave the slot list.

    /usr/bin/python3 tests/bench/bench_slot_list.py [MODULE [TOOL]] [--renames N]
"""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time

import PyKCS11


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("module", nargs="?", default="build/libvellumcrest-pkcs11.so")
    parser.add_argument("tool", nargs="?", default="build/vellumcrest-card")
    parser.add_argument("--renames", type=int, default=2000)
    parser.add_argument("--calls", type=int, default=200)
    args = parser.parse_args()

    root = tempfile.mkdtemp(prefix="vc-bench-")
    try:
        readers = os.path.join(root, "readers")
        os.makedirs(readers)
        config = os.path.join(root, "vellumcrest.conf")
        with open(config, "w") as f:
            f.write("[Core]\nLogFile=%s/vellumcrest.log\nReadersDir=%s\n[Pkcs11]\nLogLevelPkcs11=1\nLogLevelCore=1\n"
                    % (root, readers))
        os.environ["VELLUMCREST_CONFIG"] = config
        os.environ["VELLUMCREST_READERS_DIR"] = readers
        tool = [args.tool, "--readers-dir", readers]
        subprocess.run(tool + ["reader-add", "Kept"], check=True, stdout=subprocess.DEVNULL)
        image = os.path.join(root, "kept.vcard")
        subprocess.run(tool + ["card-create", image, "--type", "1"], check=True, stdout=subprocess.DEVNULL)
        subprocess.run(tool + ["card-insert", "Kept", image], check=True, stdout=subprocess.DEVNULL)

        lib = PyKCS11.PyKCS11Lib()
        lib.load(args.module)
        moving = os.path.join(readers, "moving")
        os.makedirs(moving)

        def timed_listing():
            start = time.perf_counter()
            for _ in range(args.calls):
                lib.getSlotList()
            return (time.perf_counter() - start) / args.calls * 1000.0

        before = timed_listing()
        for i in range(args.renames):
            with open(os.path.join(moving, "reader.conf.new"), "w") as f:
                f.write("name=Renamed %d\n" % i)
            os.rename(os.path.join(moving, "reader.conf.new"), os.path.join(moving, "reader.conf"))
            lib.getSlotList()
        after = timed_listing()
        slots = lib.getSlotList()
        kept = lib.getSlotList(tokenPresent=True)[0]
        start = time.perf_counter()
        for _ in range(args.calls):
            lib.getSlotInfo(kept)
            lib.getTokenInfo(kept)
        polled = (time.perf_counter() - start) / args.calls * 1000.0
        print("C_GetSlotInfo + C_GetTokenInfo on an unchanged card: %.3f ms" % polled)
        print("C_GetSlotList (PyKCS11 getSlotList, two calls each): %.3f ms with 2 readers, "
              "%.3f ms after %d renames; %d slots listed" % (before, after, args.renames, len(slots)))
    finally:
        shutil.rmtree(root, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
