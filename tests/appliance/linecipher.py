"""The client's line cipher, undone: deciphers the ciphered lines of uploaded logs for inspection.

The key is the client's own, read from its built-in key file."""

import base64
import os
import re

import openssl

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(os.path.dirname(HERE))
# The client's built-in key file; the first of these that exists.
KEYS_FILES = [os.path.join(REPO, "src", "core", "portable", "BuiltInKeys.inc"),
              os.path.join(REPO, "src", "core", "BuiltInKeys.inc")]


def line_cipher_key():
    """The line cipher key, read from the client's built-in key file."""
    path = next((p for p in KEYS_FILES if os.path.isfile(p)), KEYS_FILES[0])
    with open(path, encoding="ascii") as handle:
        text = handle.read()
    match = re.search(r"#define\s+KESI_LINE_CIPHER_KEY_BYTES((?:[^\n]*\\\n)*[^\n]*)", text)
    if not match:
        raise RuntimeError("KESI_LINE_CIPHER_KEY_BYTES not found in %s" % path)
    key = bytes(int(byte, 16) for byte in re.findall(r"0x([0-9a-fA-F]{2})", match.group(1)))
    if len(key) != 32:
        raise RuntimeError("the line cipher key has %d bytes, not 32" % len(key))
    return key


_BASE64_LINE = re.compile(rb"^(?:[A-Za-z0-9+/]{4})+$|^(?:[A-Za-z0-9+/]{4})*[A-Za-z0-9+/]{2}(?:==|[A-Za-z0-9+/]=)$")


def decipher_lines(data, key=None):
    """Split an uploaded log into lines and decipher those that are line-cipher text.

    Returns a list of {"line": n, "ciphered": bool, "text": str}. A ciphered line is Base64 of
    AES-256-CBC cipher text (zero IV, PKCS #7 padding); its plain text is in the ANSI code page."""
    lines = data.split(b"\n")
    if lines and lines[-1] == b"":
        lines.pop()
    lines = [line[:-1] if line.endswith(b"\r") else line for line in lines]
    cipher = {}
    for number, line in enumerate(lines):
        if len(line) >= 24 and _BASE64_LINE.match(line):
            raw = base64.b64decode(line)
            if raw and len(raw) % 16 == 0:
                cipher[number] = raw
    plain = {}
    if cipher:
        key = key or line_cipher_key()
        # One openssl run for the whole file: decipher the concatenation without padding, then undo
        # the chaining between lines (each line starts from a zero IV of its own).
        order = sorted(cipher)
        joined = b"".join(cipher[n] for n in order)
        out = openssl.run(["openssl", "enc", "-d", "-aes-256-cbc", "-nopad", "-K", key.hex(), "-iv", "0" * 32],
                          joined)
        offset, previous = 0, bytes(16)
        for n in order:
            size = len(cipher[n])
            block = bytearray(out[offset:offset + size])
            for i in range(16):
                block[i] ^= previous[i]
            pad = block[-1]
            if 1 <= pad <= 16 and block[-pad:] == bytes([pad]) * pad:
                plain[n] = bytes(block[:-pad])
            previous = cipher[n][-16:]
            offset += size
    result = []
    for number, line in enumerate(lines):
        if number in plain:
            text = plain[number].decode("cp1252", "replace").replace("\r\n", "\n")
            result.append({"line": number + 1, "ciphered": True,
                           "text": text[:-1] if text.endswith("\n") else text})
        else:
            result.append({"line": number + 1, "ciphered": False, "text": line.decode("cp1252", "replace")})
    return result
