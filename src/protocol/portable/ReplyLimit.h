#pragma once
// The most the client takes into memory from one reply of the appliance or of a transfer's peer, and the
// reading of the length that a reply announces. OS-free: built for Windows and natively (libFuzzer).
#include <cstddef>
#include <cstdint>

#include "ErrorCodes.h"

namespace kesi {

// 4 MiB. What arrives in memory is small: the session, the zone and its commands, agent and deploy lists
// of a few dozen records, a post's "Location" and its short page, and the largest, the interrogation
// list: a few hundred to a few thousand lines of under 200 bytes, well under 1 MiB. The format itself
// allows more (Strings of up to 65,535 bytes, Structures of up to 65,535 members), so the cap sits far
// above real use while a hostile peer cannot make a 32-bit host exhaust its address space: it is 64 of
// the longest Strings, or the longest list of 65,535 lines at 64 bytes a line. Downloads to a file are
// not bounded by it.
constexpr uint32_t kMaxReplyBytes = 4u * 1024 * 1024;
// What an exchange or a transfer gives for a reply too large to take in (4336): see LogonAgent.h.
constexpr uint32_t kReplyTooLarge = kErrorMessageExceedsMaxSize;

enum class ReplyLength {
  kFits,       // within kMaxReplyBytes
  kTooLarge,   // beyond it
  kMalformed,  // not a length
};

// Reads a Content-Length value of count characters (it ends earlier at a NUL): decimal digits, with
// blanks or tabs around them. kFits with *length set when the number is at most kMaxReplyBytes,
// kTooLarge for a larger number of any number of digits, kMalformed for anything else (empty included).
ReplyLength ReadAnnouncedLength(const wchar_t* text, size_t count, uint32_t* length);

// Whether a reply of which received bytes have arrived so far is still within the cap.
inline ReplyLength CheckReceived(uint64_t received) {
  return received <= kMaxReplyBytes ? ReplyLength::kFits : ReplyLength::kTooLarge;
}

}  // namespace kesi
