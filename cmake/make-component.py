#!/usr/bin/env python3
"""Makes a signed component CAB: "<name>.inf", "<name>.ver" and payload files, packed with gcab (MSZIP)
and signed with sign.sh and the fixtures' certificate.

  make-component.py --name NAME --out DIR --version A,B,C,D --sign SIGN.SH --certificate DIR
                    [--files N --total-bytes BYTES] [--text NAME=TEXT ...]

The CAB is DIR/NAME.cab; DIR/NAME/ keeps the files it holds. --files N adds N - 1 payload files
("part01.bin", ...) of pseudo-random bytes (a fixed seed, so a rebuild makes the same CAB), about
BYTES in all, so that the CAB does not compress to nothing; with the version file that makes N files
listed in "Add.Code". --text adds a small text file. Each file gets a section of its own in the INF.
"""
import argparse
import os
import random
import shutil
import subprocess
import sys


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--name", required=True)
    parser.add_argument("--out", required=True)
    parser.add_argument("--version", required=True)
    parser.add_argument("--sign", required=True)
    parser.add_argument("--certificate", required=True)
    parser.add_argument("--files", type=int, default=0)
    parser.add_argument("--total-bytes", type=int, default=0)
    parser.add_argument("--text", action="append", default=[])
    args = parser.parse_args()

    folder = os.path.join(args.out, args.name)
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    files = {args.name + ".ver": (args.version + "\r\n").encode("ascii")}
    for item in args.text:
        name, _, text = item.partition("=")
        files[name] = (text + "\r\n").encode("ascii")
    parts = max(args.files - 1, 0)
    rng = random.Random(args.name)
    for i in range(parts):
        files["part%02d.bin" % (i + 1)] = rng.randbytes(args.total_bytes // parts)

    inf = ["[Add.Code]"] + ["%s=%s" % (name, name) for name in files] + [""]
    for name in files:
        inf += ["[%s]" % name, "RegisterServer=No", "HandleLockedFile=No", ""]
    files[args.name + ".inf"] = "\r\n".join(inf).encode("ascii")

    for name, body in files.items():
        with open(os.path.join(folder, name), "wb") as f:
            f.write(body)
    unsigned = os.path.join(args.out, args.name + ".unsigned.cab")
    cab = os.path.join(args.out, args.name + ".cab")
    subprocess.run(["gcab", "-c", "-z", "-n", unsigned] + [os.path.join(folder, n) for n in sorted(files)],
                   check=True)
    subprocess.run(["bash", args.sign, "signed", unsigned, cab, args.certificate], check=True)
    os.remove(unsigned)
    return 0


if __name__ == "__main__":
    sys.exit(main())
