#pragma once
// The byte level of the equipment identifier: the disk serial-number texts that storage drivers report.
// OS-free, so the native build checks it under the sanitizers.
#include <cstddef>
#include <cstdint>

namespace kesi {

// Decodes the serial-number text of a storage device descriptor: the NUL-terminated text at offset
// within the size bytes of descriptor (the end of the buffer ends the text too).
//   - An offset below 1, or one at or past the end of the buffer, gives an empty text.
//   - Drivers report the serial either as hexadecimal text of the identify data (white space standing
//     for "0") or as the raw characters. The text is read as hexadecimal when it is an even number of
//     hexadecimal digits whose every byte is 0 or printable (a 0 byte ends the text); otherwise its raw
//     characters are taken, and a character that is not printable makes the result empty.
//   - Either way the bytes come in swapped pairs: the two bytes of each pair trade places, and with an
//     odd length the last byte drops out. Leading and trailing white space is removed.
// out receives at most outSize - 1 characters and a terminator; returns the characters written. An
// out buffer of size - offset + 1 bytes always holds the whole text.
size_t DecodeSerialText(const uint8_t* descriptor, size_t size, long offset, char* out, size_t outSize);

// Offsets in the ATA identify data (512 bytes): the serial number is the 20 bytes from byte 20.
constexpr size_t kIdentifyDataSize = 512;
constexpr size_t kIdentifySerialOffset = 20;
constexpr size_t kIdentifySerialLength = 20;

// The serial number of ATA identify data (kIdentifyDataSize bytes): its byte pairs swapped back into
// reading order, pair by pair until a pair whose first byte is 0, ending at the first 0 byte, without
// leading and trailing white space. out as for DecodeSerialText; 21 bytes hold any serial.
size_t DecodeIdentifySerial(const uint8_t* identify, char* out, size_t outSize);

}  // namespace kesi
