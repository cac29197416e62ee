#include "ReplyLimit.h"

namespace kesi {

namespace {

bool IsBlank(wchar_t c) { return c == L' ' || c == L'\t'; }

}  // namespace

ReplyLength ReadAnnouncedLength(const wchar_t* text, size_t count, uint32_t* length) {
  if (!text) return ReplyLength::kMalformed;
  size_t i = 0;
  while (i < count && text[i] && IsBlank(text[i])) ++i;
  const size_t first = i;
  uint64_t value = 0;
  bool tooLarge = false;
  for (; i < count && text[i] >= L'0' && text[i] <= L'9'; ++i) {
    // Once past the cap the number only grows: stop adding before it could wrap.
    if (!tooLarge) value = value * 10 + static_cast<uint64_t>(text[i] - L'0');
    if (value > kMaxReplyBytes) tooLarge = true;
  }
  if (i == first) return ReplyLength::kMalformed;
  while (i < count && text[i] && IsBlank(text[i])) ++i;
  if (i < count && text[i]) return ReplyLength::kMalformed;
  if (tooLarge) return ReplyLength::kTooLarge;
  if (length) *length = static_cast<uint32_t>(value);
  return ReplyLength::kFits;
}

}  // namespace kesi
