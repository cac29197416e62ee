"""LPRPC codec, the appliance's side of the wire.

Written independently of the client's C++ codec so that each checks the other.

Value model on the Python side:

    bool          Boolean                 tag 0x01, one byte (any non-zero byte reads as True)
    int           Integer                 tag 0x02, 4 bytes big-endian, 32-bit
    Int3          second number type      tag 0x03, same payload as Integer
    str / Text    String                  tag 0x04, 2-byte length, UTF-8 bytes and a NUL
    bytes         Binary                  tag 0x05, 2-byte length, bytes
    list          Structure               tag 0x10, 2-byte member count, members with tags
    Array         Array                   tag 0x11, element tag, 2-byte count, untagged elements
    Raw           bytes written verbatim  (encoding only: for building malformed messages)

A received String keeps its exact wire bytes in `Text.raw` when they are not the canonical
"UTF-8 + NUL" form (an empty length, a missing NUL, bytes that are not UTF-8), so that decoding and
encoding again reproduces the message byte for byte.

Every value also has a JSON form (`to_json` / `from_json`), used by scenario files and the journal:
plain JSON booleans, numbers, strings and lists stand for Boolean, Integer, String and Structure;
objects stand for the other kinds: {"int3": n}, {"binary": "hex"}, {"string_raw": "hex"},
{"array": tag, "items": [...]}, {"raw": "hex"}.
"""

import struct

BOOLEAN, INTEGER, INTEGER3, STRING, BINARY, STRUCTURE, ARRAY = 1, 2, 3, 4, 5, 6, 7
TAG_OF_TYPE = {BOOLEAN: 0x01, INTEGER: 0x02, INTEGER3: 0x03, STRING: 0x04, BINARY: 0x05,
               STRUCTURE: 0x10, ARRAY: 0x11}
TYPE_OF_TAG = {tag: kind for kind, tag in TAG_OF_TYPE.items()}

# Reply kinds (first member of an envelope).
CALL, RESULT, FAULT = 1, 2, 3

# Status values of reading a reply, as the client defines them.
ST_OK, ST_CODEC, ST_SHAPE, ST_MEMORY, ST_FAULT = 0, 1, 2, 3, 4

MAX_LENGTH = 0xFFFF

CONTENT_TYPE = "application/lprpc; version=1.0"


class LprpcError(ValueError):
    """A value that cannot be encoded, or bytes that cannot be decoded."""


class Int3(int):
    """The second 32-bit number type (tag 0x03)."""

    def __repr__(self):
        return "Int3(%d)" % int(self)


class Text(str):
    """A String; `raw` holds the exact wire bytes when they are not UTF-8 text plus one NUL."""

    raw = None

    @classmethod
    def from_wire(cls, data):
        data = bytes(data)
        if data.endswith(b"\0") and b"\0" not in data[:-1]:
            try:
                return cls(data[:-1].decode("utf-8"))
            except UnicodeDecodeError:
                pass
        # What the client would use: the text up to the first NUL.
        text = cls(data.split(b"\0", 1)[0].decode("utf-8", "replace"))
        text.raw = data
        return text

    def __repr__(self):
        if self.raw is None:
            return "Text(%s)" % str.__repr__(self)
        return "Text(%s, raw=%r)" % (str.__repr__(self), self.raw)


class Array:
    """An Array: the element tag byte as written and the elements."""

    def __init__(self, elem_tag, items=()):
        self.elem_tag = elem_tag
        self.items = list(items)

    @property
    def elem_type(self):
        return TYPE_OF_TAG.get(self.elem_tag, 0)

    def __eq__(self, other):
        return isinstance(other, Array) and (self.elem_tag, self.items) == (other.elem_tag, other.items)

    def __repr__(self):
        return "Array(0x%02x, %r)" % (self.elem_tag, self.items)


class Raw:
    """Bytes that the encoder writes as they are, in place of a value (tag included)."""

    def __init__(self, data):
        self.data = bytes(data)

    def __eq__(self, other):
        return isinstance(other, Raw) and self.data == other.data

    def __repr__(self):
        return "Raw(%s)" % self.data.hex()


def type_of(value):
    if isinstance(value, bool):
        return BOOLEAN
    if isinstance(value, Int3):
        return INTEGER3
    if isinstance(value, int):
        return INTEGER
    if isinstance(value, str):
        return STRING
    if isinstance(value, (bytes, bytearray)):
        return BINARY
    if isinstance(value, list):
        return STRUCTURE
    if isinstance(value, Array):
        return ARRAY
    raise LprpcError("no LPRPC type for %r" % (value,))


# ----------------------------------------------------------------------------------------- encoding

def _string_bytes(value):
    if isinstance(value, Text) and value.raw is not None:
        return value.raw
    return value.encode("utf-8", "surrogateescape") + b"\0"


def _put_length(out, n, what):
    if n > MAX_LENGTH:
        raise LprpcError("%s of %d does not fit the 16-bit length" % (what, n))
    out += struct.pack(">H", n)


def _encode_into(out, value, tagged):
    if isinstance(value, Raw):
        out += value.data
        return
    kind = type_of(value)
    if tagged:
        out.append(TAG_OF_TYPE[kind])
    if kind == BOOLEAN:
        out.append(1 if value else 0)
    elif kind in (INTEGER, INTEGER3):
        if not -0x80000000 <= value <= 0xFFFFFFFF:
            raise LprpcError("integer %d does not fit 32 bits" % value)
        out += struct.pack(">I", value & 0xFFFFFFFF)
    elif kind in (STRING, BINARY):
        data = _string_bytes(value) if kind == STRING else bytes(value)
        _put_length(out, len(data), "String" if kind == STRING else "Binary")
        out += data
    elif kind == STRUCTURE:
        _put_length(out, len(value), "Structure member count")
        for member in value:
            _encode_into(out, member, True)
    else:
        if not 0 <= value.elem_tag <= 0xFF:
            raise LprpcError("array element tag %r is not a byte" % value.elem_tag)
        out.append(value.elem_tag)
        _put_length(out, len(value.items), "Array element count")
        for item in value.items:
            if not isinstance(item, Raw) and type_of(item) != value.elem_type:
                raise LprpcError("array element %r is not of the element type 0x%02x" % (item, value.elem_tag))
            _encode_into(out, item, False)


def encode(value, tagged=True):
    """Encode one value (with its tag unless `tagged` is false)."""
    out = bytearray()
    _encode_into(out, value, tagged)
    return bytes(out)


def encode_call(procedure, params):
    return encode([CALL, procedure, params])


def encode_result(results):
    return encode([RESULT, results])


def encode_fault(code, code2, text, extra=None):
    members = [code, code2] + ([extra] if extra is not None else []) + [text]
    return encode([FAULT, members])


# ----------------------------------------------------------------------------------------- decoding

class _Reader:
    def __init__(self, data, pos, end):
        self.data = data
        self.pos = pos
        self.end = end

    def take(self, n, what):
        if self.end - self.pos < n:
            raise LprpcError("%s needs %d bytes at offset %d, %d remain" % (what, n, self.pos, self.end - self.pos))
        chunk = self.data[self.pos:self.pos + n]
        self.pos += n
        return chunk

    def value(self, kind, depth):
        if depth > 200:
            raise LprpcError("values nested too deeply at offset %d" % self.pos)
        if kind == 0:
            tag = self.take(1, "tag")[0]
            kind = TYPE_OF_TAG.get(tag, 0)
            if kind == 0:
                raise LprpcError("invalid tag 0x%02x at offset %d" % (tag, self.pos - 1))
        if kind == BOOLEAN:
            return self.take(1, "Boolean")[0] != 0
        if kind in (INTEGER, INTEGER3):
            number = struct.unpack(">i", self.take(4, "Integer"))[0]
            return Int3(number) if kind == INTEGER3 else number
        if kind in (STRING, BINARY):
            name = "String" if kind == STRING else "Binary"
            length = struct.unpack(">H", self.take(2, name + " length"))[0]
            data = bytes(self.take(length, name))
            return Text.from_wire(data) if kind == STRING else data
        if kind == STRUCTURE:
            count = struct.unpack(">H", self.take(2, "Structure count"))[0]
            return [self.value(0, depth + 1) for _ in range(count)]
        elem_tag = self.take(1, "Array element tag")[0]
        count = struct.unpack(">H", self.take(2, "Array count"))[0]
        # An unknown element tag leaves the element type 0, and an entry read with type 0 reads
        # its own tag: such an array carries tagged elements.
        elem_type = TYPE_OF_TAG.get(elem_tag, 0)
        return Array(elem_tag, [self.value(elem_type, depth + 1) for _ in range(count)])


def decode(data, pos=0, end=None, kind=0):
    """Decode one value from data[pos:end]; `kind` 0 reads a tag first. Returns (value, next pos)."""
    data = memoryview(bytes(data))
    reader = _Reader(data, pos, len(data) if end is None else end)
    value = reader.value(kind, 0)
    return value, reader.pos


def decode_message(data):
    """Decode a message: a tagged Structure. Returns (members, bytes consumed)."""
    data = bytes(data)
    if not data:
        raise LprpcError("empty message")
    if data[0] != TAG_OF_TYPE[STRUCTURE]:
        raise LprpcError("message starts with 0x%02x, not a Structure" % data[0])
    return decode(data)


def parse_call(data):
    """Read a call envelope {1, procedure, {params}}. Returns (procedure, params, trailing byte count)."""
    message, used = decode_message(data)
    if len(message) < 3:
        raise LprpcError("call envelope has %d members, not 3" % len(message))
    marker, procedure, params = message[0], message[1], message[2]
    if type_of(marker) != INTEGER or marker != CALL:
        raise LprpcError("call envelope does not start with Integer 1")
    if type_of(procedure) != INTEGER:
        raise LprpcError("procedure number is not an Integer")
    if type_of(params) != STRUCTURE:
        raise LprpcError("call parameters are not a Structure")
    if len(message) > 3:
        raise LprpcError("call envelope has %d members, not 3" % len(message))
    return procedure, params, len(data) - used


def read_reply(data):
    """Read a reply the way the client does.

    Returns (status, payload): (0, result members), (4, (code, code2, text)), or (1 or 2, None)."""
    try:
        message, _ = decode_message(data)
    except LprpcError:
        return ST_CODEC, None
    if not message or type_of(message[0]) != INTEGER:
        return ST_SHAPE, None
    kind = message[0]
    if kind == RESULT:
        if len(message) < 2 or type_of(message[1]) != STRUCTURE:
            return ST_SHAPE, None
        return ST_OK, message[1]
    if kind != FAULT or len(message) < 2 or type_of(message[1]) != STRUCTURE:
        return ST_SHAPE, None
    members = list(message[1])
    if len(members) < 3 or type_of(members[0]) != INTEGER or type_of(members[1]) != INTEGER:
        return ST_SHAPE, None
    rest = members[2:]
    if type_of(rest[0]) == INTEGER:
        rest = rest[1:]
    if not rest or type_of(rest[0]) != STRING:
        return ST_SHAPE, None
    return ST_FAULT, (members[0], members[1], str(rest[0]))


# ------------------------------------------------------------------------------------- JSON forms

def _hex(text):
    try:
        return bytes.fromhex("".join(str(text).split()))
    except ValueError as error:
        raise LprpcError("bad hex text %r: %s" % (text, error))


def to_json(value):
    """The JSON form of a decoded value."""
    kind = type_of(value) if not isinstance(value, Raw) else None
    if kind is None:
        return {"raw": value.data.hex()}
    if kind == INTEGER3:
        return {"int3": int(value)}
    if kind == STRING and isinstance(value, Text) and value.raw is not None:
        return {"string_raw": value.raw.hex(), "text": str(value)}
    if kind == STRING:
        return str(value)
    if kind == BINARY:
        return {"binary": bytes(value).hex()}
    if kind == STRUCTURE:
        return [to_json(member) for member in value]
    if kind == ARRAY:
        return {"array": value.elem_tag, "items": [to_json(item) for item in value.items]}
    return value


def from_json(obj):
    """The value that a JSON form stands for (see the module text)."""
    if isinstance(obj, (bool, str)):
        return obj
    if isinstance(obj, int):
        return obj
    if isinstance(obj, list):
        return [from_json(item) for item in obj]
    if isinstance(obj, dict):
        if "int3" in obj:
            return Int3(obj["int3"])
        if "binary" in obj:
            return _hex(obj["binary"])
        if "string_raw" in obj:
            text = Text.from_wire(_hex(obj["string_raw"]))
            text.raw = _hex(obj["string_raw"])
            return text
        if "array" in obj:
            tag = obj["array"]
            tag = int(tag, 0) if isinstance(tag, str) else tag
            return Array(tag, [from_json(item) for item in obj.get("items", [])])
        if "raw" in obj:
            return Raw(_hex(obj["raw"]))
    raise LprpcError("no LPRPC value for JSON %r" % (obj,))
