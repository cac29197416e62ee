"""The appliance-side LPRPC codec against the documented byte examples and the format's limits."""

import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from lprpc import (Array, Int3, LprpcError, Raw, Text, decode, decode_message, encode,  # noqa: E402
                   encode_call, from_json, parse_call, read_reply, to_json)


def h(text):
    return bytes.fromhex(text)


# (name, value, wire bytes): the value encodes to exactly these bytes and the bytes decode to it.
ROUND_TRIPS = [
    ("call of procedure 8, empty parameters", [1, 8, []], h("10 0003 02 00000001 02 00000008 10 0000")),
    ("String ab", "ab", h("04 0003 61 62 00")),
    ("empty String", "", h("04 0001 00")),
    ("String of length 0 reads as empty text and is kept as sent", Text.from_wire(b""), h("04 0000")),
    ("String without its NUL is kept as sent", Text.from_wire(b"ab"), h("04 0002 61 62")),
    ("String of UTF-8 text", "\u00e9\u20ac", h("04 0006 c3a9 e282ac 00")),
    ("Array of Integers 1, 2, 3", Array(0x02, [1, 2, 3]), h("11 02 0003 00000001 00000002 00000003")),
    ("Boolean true", True, h("01 01")),
    ("Boolean false", False, h("01 00")),
    ("negative Integer is big-endian two's complement", -2, h("02 fffffffe")),
    ("second number type keeps its tag", Int3(0x01020304), h("03 01020304")),
    ("Binary", b"\x00\xff", h("05 0002 00 ff")),
    ("empty Structure", [], h("10 0000")),
    ("nested Structure", [[True], "x"], h("10 0002 10 0001 01 01 04 0002 78 00")),
    ("Array of Strings has untagged elements", Array(0x04, ["a", ""]), h("11 04 0002 0002 61 00 0001 00")),
    ("Array of Structures", Array(0x10, [[1], []]), h("11 10 0002 0001 02 00000001 0000")),
    ("empty Array", Array(0x02, []), h("11 02 0000")),
    ("fault reply with three members", [3, [7, 9, "denied"]],
     h("10 0002 02 00000003 10 0003 02 00000007 02 00000009 04 0007 64656e69656400")),
    ("fault reply with the optional Integer", [3, [7, 9, 5, "denied"]],
     h("10 0002 02 00000003 10 0004 02 00000007 02 00000009 02 00000005 04 0007 64656e69656400")),
]

# (name, bytes, what read_reply gives: status and payload)
REPLIES = [
    ("first byte is not a Structure tag", h("11 02 0000"), (1, None)),
    ("first member is not an Integer", encode(["2", []]), (2, None)),
    ("kind 2 whose second member is not a Structure", encode([2, 5]), (2, None)),
    ("kind 2 without a second member", encode([2]), (2, None)),
    ("result", encode([2, [15, "S"]]), (0, [15, "S"])),
    ("fault {7, 9, denied}", encode([3, [7, 9, "denied"]]), (4, (7, 9, "denied"))),
    ("fault {7, 9, 5, denied}", encode([3, [7, 9, 5, "denied"]]), (4, (7, 9, "denied"))),
    ("fault {7, x} is malformed", encode([3, [7, "x"]]), (2, None)),
    ("fault whose code is the second number type", encode([3, [Int3(7), 9, "x"]]), (2, None)),
    ("reply of an unknown kind", encode([4, []]), (2, None)),
    ("declared String length past the end", h("10 0002 02 00000002 10 0001 04 0005 61 00"), (1, None)),
    ("empty body", b"", (1, None)),
]

# (name, bytes) that must not decode
BAD_BYTES = [
    ("String length runs past the end", h("04 0005 61 62 00")),
    ("Binary length runs past the end", h("05 0002 00")),
    ("Structure count larger than its members", h("10 0002 01 01")),
    ("Integer cut short", h("02 0000 01")),
    ("Array count larger than its elements", h("11 02 0002 00000001")),
    ("invalid tag", h("06 00")),
    ("invalid tag inside a Structure", h("10 0001 12")),
    ("no bytes at all", b""),
    ("String length cut short", h("04 00")),
]


class RoundTripTest(unittest.TestCase):
    def test_values_encode_and_decode_byte_for_byte(self):
        for name, value, wire in ROUND_TRIPS:
            with self.subTest(name):
                self.assertEqual(encode(value).hex(), wire.hex())
                decoded, end = decode(wire)
                self.assertEqual(end, len(wire))
                self.assertEqual(decoded, value)
                self.assertEqual(encode(decoded).hex(), wire.hex(), "re-encoding the decoded value")
                self.assertEqual(encode(from_json(to_json(decoded))).hex(), wire.hex(), "through the JSON form")

    def test_call_envelope(self):
        wire = encode_call(8, [])
        self.assertEqual(wire, h("10 0003 02 00000001 02 00000008 10 0000"))
        self.assertEqual(parse_call(wire), (8, [], 0))
        self.assertEqual(parse_call(wire + b"\x00")[2], 1, "trailing bytes are counted")
        for name, bad in [("kind 2", encode([2, 8, []])), ("procedure as String", encode([1, "8", []])),
                          ("parameters as Integer", encode([1, 8, 0])), ("two members", encode([1, 8]))]:
            with self.subTest(name), self.assertRaises(LprpcError):
                parse_call(bad)

    def test_received_strings(self):
        self.assertEqual(decode(h("04 0000"))[0], "")
        self.assertEqual(decode(h("04 0003 61 00 62"))[0], "a", "text ends at the first NUL")
        self.assertEqual(decode(h("01 02"))[0], True, "any non-zero byte is true")
        self.assertEqual(to_json(decode(h("04 0002 61 62"))[0]), {"string_raw": "6162", "text": "ab"})


class ReplyTest(unittest.TestCase):
    def test_reply_statuses(self):
        for name, wire, expected in REPLIES:
            with self.subTest(name):
                self.assertEqual(read_reply(wire), expected)

    def test_bad_bytes_fail_the_whole_decode(self):
        for name, wire in BAD_BYTES:
            with self.subTest(name), self.assertRaises(LprpcError):
                decode(wire)
        with self.assertRaises(LprpcError):
            decode_message(h("04 0001 00"))


class LimitsTest(unittest.TestCase):
    def test_lengths_and_counts_stay_within_16_bits(self):
        self.assertEqual(len(encode("a" * 65534)), 3 + 65535)
        self.assertEqual(len(encode(b"\0" * 65535)), 3 + 65535)
        self.assertEqual(len(encode([0] * 65535)), 3 + 5 * 65535)
        for name, value in [("String of 65535 characters plus NUL", "a" * 65535),
                            ("Binary of 65536 bytes", b"\0" * 65536),
                            ("Structure of 65536 members", [0] * 65536),
                            ("Array of 65536 elements", Array(0x01, [True] * 65536)),
                            ("Integer above 32 bits", 1 << 32),
                            ("element of another type", Array(0x02, [1, "x"])),
                            ("Integer in an Array of the second number type", Array(0x03, [1])),
                            ("None", None)]:
            with self.subTest(name), self.assertRaises(LprpcError):
                encode(value)

    def test_raw_bytes_build_malformed_messages(self):
        self.assertEqual(encode([1, Raw(h("04 0009 61"))]), h("10 0002 02 00000001 04 0009 61"))
        self.assertEqual(from_json({"raw": "04 00"}), Raw(h("0400")))
        self.assertEqual(encode(0xE3080004), h("02 e3080004"), "unsigned codes are written as 32 bits")


if __name__ == "__main__":
    unittest.main()
