#!/usr/bin/env python3
"""Writes the CAB fixtures of the extraction tests into the folder given as the first argument, and with
five more (the component library, the component program, the signing certificate's folder, the
signing script and the socket provider stand-in), the components the install engine's tests download, into its "serve" subfolder.

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


def crlf(text):
    return text.strip("\n").replace("\n", "\r\n").encode("latin-1") + b"\r\n"


def components(serve, comserver, regserver, certs, sign, provider):
    """The components the engine's tests install, as CABs under serve/ (name.cab, or FOLDER/name.cab for a
    variant of one component). Each holds name.inf and its files; signed with the fixture certificate unless
    the variant says otherwise."""
    dll = open(comserver, "rb").read()
    exe = open(regserver, "rb").read()
    lsp = open(provider, "rb").read()

    def plain(version, text):
        inf = crlf("""
[Add.Code]
kesiplain.ver=ver
a.txt=a
b.txt=b
c.txt=c
[ver]
[a]
[b]
[c]
InstallFile=c-renamed.txt
[Uninstall]
file1=leftover.tmp
""")
        return [("kesiplain.inf", inf), ("kesiplain.ver", version.encode() + b"\r\n"),
                ("a.txt", text + b" a\r\n"), ("b.txt", text + b" b\r\n"), ("c.txt", text + b" c\r\n")]

    def described(name, inf, files):
        return [(name + ".inf", crlf(inf)), (name + ".ver", b"1,0,0,0\r\n")] + files

    made = {
        "v1/kesiplain.cab": plain("1,0,0,0", b"version 1"),
        "v2/kesiplain.cab": plain("2,0,0,0", b"version 2"),
        "unsigned/kesiplain.cab": plain("2,0,0,0", b"version 2"),
        "damaged/kesiplain.cab": plain("2,0,0,0", b"version 2" * 4000),
        "kesicom.cab": described("kesicom", """
[Add.Code]
kesicom.ver=ver
kesicom1.dll=com1
kesicom2.dll=com2
[ver]
[com1]
RegisterServer=yes
[com2]
RegisterServer=Y
""", [("kesicom1.dll", dll), ("kesicom2.dll", dll)]),
        "kesiexe.cab": described("kesiexe", """
[Add.Code]
kesiexe.ver=ver
kesiregserver.exe=program
[ver]
[program]
RegisterServer=Yes
""", [("kesiregserver.exe", exe)]),
        "v1/kesilock.cab": described("kesilock", """
[Add.Code]
kesilock.ver=ver
kesilock.dll=library
data.txt=data
[ver]
[library]
HandleLockedFile=yes
[data]
""", [("kesilock.dll", dll), ("data.txt", b"data 1\r\n")]),
        # Two lines install to one name: the second copy fails (80) after the first was made.
        "kesidup.cab": described("kesidup", """
[Add.Code]
kesidup.ver=ver
a.txt=same
b.txt=same
[ver]
[same]
InstallFile=same.txt
""", [("a.txt", b"a\r\n"), ("b.txt", b"b\r\n")]),
        # A registered library on the locked-file list beside an ordinary registered one.
        "kesimix.cab": described("kesimix", """
[Add.Code]
kesimix.ver=ver
kesimixlock.dll=locked
kesimixplain.dll=plain
[ver]
[locked]
RegisterServer=Y
HandleLockedFile=Y
[plain]
RegisterServer=Y
""", [("kesimixlock.dll", dll), ("kesimixplain.dll", dll)]),
        # A socket provider: registered and removed through its own exports, not as a COM server.
        "kesinet.cab": described("kesinet", """
[Add.Code]
kesinet.ver=ver
korsp.dll=provider
[ver]
[provider]
RegisterServer=Y
""", [("korsp.dll", lsp)]),
        "kesibadkey.cab": described("kesibadkey", """
[Add.Code]
ok.txt=ok
..\\x.txt=ok
[ok]
""", [("ok.txt", b"ok\r\n")]),
        "kesibadvalue.cab": described("kesibadvalue", """
[Add.Code]
ok.txt=ok
[ok]
InstallFile=..\\x.txt
""", [("ok.txt", b"ok\r\n")]),
        "kesinoadd.cab": described("kesinoadd", """
[Other]
ok.txt=ok
""", [("ok.txt", b"ok\r\n")]),
    }
    # The later version of the locked component: the same library, another data file.
    made["v2/kesilock.cab"] = [(n, b"data 2\r\n" if n == "data.txt" else b) for n, b in made["v1/kesilock.cab"]]
    made["v2/kesilock.cab"] = [(n, b"2,0,0,0\r\n" if n.endswith(".ver") else b) for n, b in made["v2/kesilock.cab"]]
    stage = os.path.join(serve, "stage")
    for relative, entries in made.items():
        os.makedirs(stage, exist_ok=True)
        for name, body in entries:
            with open(os.path.join(stage, name), "wb") as f:
                f.write(body)
        raw = os.path.join(serve, relative + ".raw")
        os.makedirs(os.path.dirname(raw), exist_ok=True)
        subprocess.run(["gcab", "-c", "-z", "-n", raw] + [os.path.join(stage, n) for n, _ in entries], check=True)
        shutil.rmtree(stage)
        if relative.startswith("damaged/"):
            # One byte of the first data block changed before signing: the signature holds, the
            # decompressor's checksum does not.
            data = bytearray(open(raw, "rb").read())
            data[struct.unpack_from("<I", data, 36)[0] + 8 + 100] ^= 0xFF
            open(raw, "wb").write(data)
        finish(raw, os.path.join(serve, relative), relative.startswith("unsigned/"), certs, sign)
    # An entry that leaves the folder ("..\\evil.txt"), which gcab will not store.
    raw = os.path.join(serve, "kesitrav.cab.raw")
    with open(raw, "wb") as f:
        f.write(uncompressed_cab([("kesitrav.inf", crlf("[Add.Code]\nok.txt=ok\n[ok]\n")), ("ok.txt", b"ok\r\n"),
                                  ("..\\evil.txt", b"evil\r\n")]))
    finish(raw, os.path.join(serve, "kesitrav.cab"), False, certs, sign)


def finish(raw, cab, unsigned, certs, sign):
    if unsigned:
        os.replace(raw, cab)
        return
    subprocess.run(["bash", sign, "signed", raw, cab, certs], check=True)
    os.remove(raw)


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
    if len(sys.argv) == 7:
        components(os.path.join(out, "serve"), *sys.argv[2:7])


if __name__ == "__main__":
    main()
