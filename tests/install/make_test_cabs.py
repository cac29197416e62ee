#!/usr/bin/env python3
"""Writes the CAB fixtures of the extraction tests into the folder given as the only argument.

good.cab (made by gcab, MSZIP) holds the files of payload/; damaged.cab is good.cab with one byte of a
data block changed; the refused-*.cab files come from the small uncompressed writer below, because gcab
will not store entry names such as "..\\evil.txt"; notacab.cab is plain text.
"""
import os
import random
import shutil
import struct
import subprocess
import sys


def checksum(data, seed=0):
    """The cabinet format's data-block checksum: XOR of little-endian 32-bit words, the tail big-end first."""
    csum = seed
    whole = len(data) // 4 * 4
    for (word,) in struct.iter_unpack("<I", data[:whole]):
        csum ^= word
    tail = 0
    for b in data[whole:]:
        tail = (tail << 8) | b
    return csum ^ tail


def uncompressed_cab(entries):
    """A one-folder cabinet storing entries [(name, bytes)] uncompressed."""
    data = b"".join(body for _, body in entries)
    blocks = [data[i:i + 32768] for i in range(0, len(data), 32768)] or [b""]
    files = b""
    offset = 0
    for name, body in entries:
        # size, offset in the folder, folder 0, date 2024-01-02, time 03:04:06, archive attribute
        files += struct.pack("<IIHHHH", len(body), offset, 0, (44 << 9) | (1 << 5) | 2, (3 << 11) | (4 << 5) | 3, 0x20)
        files += name.encode("latin-1") + b"\0"
        offset += len(body)
    header_size, folder_size = 36, 8
    files_at = header_size + folder_size
    data_at = files_at + len(files)
    body = b"".join(struct.pack("<IHH", checksum(struct.pack("<HH", len(b), len(b)), checksum(b)), len(b), len(b)) + b
                   for b in blocks)
    total = data_at + len(body)
    header = b"MSCF" + struct.pack("<IIIIIBBHHHHH", 0, total, 0, files_at, 0, 3, 1, 1, len(entries), 0, 0x4B45, 0)
    folder = struct.pack("<IHH", data_at, len(blocks), 0)
    return header + folder + files + body


def main():
    out = sys.argv[1]
    payload = os.path.join(out, "payload")
    shutil.rmtree(out, ignore_errors=True)
    os.makedirs(payload)
    rng = random.Random(9)
    bodies = {
        "component.dll": bytes(rng.getrandbits(8) for _ in range(70000)),  # spans several data blocks
        "component.inf": b"[Add.Code]\r\ncomponent.dll=component.dll\r\n" * 50,
    }
    for name, body in bodies.items():
        with open(os.path.join(payload, name), "wb") as f:
            f.write(body)
    good = os.path.join(out, "good.cab")
    subprocess.run(["gcab", "-c", "-z", "-n", good] + [os.path.join(payload, n) for n in sorted(bodies)], check=True)

    damaged = bytearray(open(good, "rb").read())
    data_at = struct.unpack_from("<I", damaged, 36)[0]  # the first folder's first data block
    damaged[data_at + 8 + 100] ^= 0xFF
    with open(os.path.join(out, "damaged.cab"), "wb") as f:
        f.write(damaged)

    refused = {
        "refused-parent.cab": [("ok.txt", b"kept\r\n"), ("..\\evil.txt", b"evil\r\n")],
        "refused-subfolder.cab": [("sub\\x.txt", b"x\r\n")],
        "refused-drive.cab": [("C:x.txt", b"x\r\n")],
        "refused-slash.cab": [("../evil.txt", b"evil\r\n")],
    }
    for name, entries in refused.items():
        with open(os.path.join(out, name), "wb") as f:
            f.write(uncompressed_cab(entries))
    with open(os.path.join(out, "plain.cab"), "wb") as f:
        f.write(uncompressed_cab([("plain.txt", b"plain\r\n" * 10000)]))
    with open(os.path.join(out, "notacab.cab"), "wb") as f:
        f.write(b"This is not a cabinet.\r\n")


if __name__ == "__main__":
    main()
