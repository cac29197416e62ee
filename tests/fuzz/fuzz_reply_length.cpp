// libFuzzer target: the reading of a reply's Content-Length against the reply cap, on any text (one
// character per input byte, NULs included). Every verdict is checked against a reading of its own: the
// text up to its first NUL, blanks and tabs trimmed, must be decimal digits; their value, compared as a
// digit string so that no number can wrap, decides between fitting and too large.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "ReplyLimit.h"

using namespace kesi;

namespace {

void Check(bool condition) {
  if (!condition) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::wstring text(data, data + size);
  uint32_t length = 0xFFFFFFFF;
  const ReplyLength verdict = ReadAnnouncedLength(text.data(), text.size(), &length);

  std::wstring value = text.substr(0, text.find(L'\0'));
  const size_t first = value.find_first_not_of(L" \t");
  value = first == std::wstring::npos ? std::wstring() : value.substr(first, value.find_last_not_of(L" \t") - first + 1);
  const bool digits = !value.empty() && value.find_first_not_of(L"0123456789") == std::wstring::npos;
  if (!digits) {
    Check(verdict == ReplyLength::kMalformed && length == 0xFFFFFFFF);
    return 0;
  }
  std::wstring significant = value.substr(std::min(value.find_first_not_of(L'0'), value.size()));
  const std::wstring cap = std::to_wstring(kMaxReplyBytes);
  const bool over = significant.size() > cap.size() || (significant.size() == cap.size() && significant > cap);
  if (over) {
    Check(verdict == ReplyLength::kTooLarge && length == 0xFFFFFFFF);
  } else {
    Check(verdict == ReplyLength::kFits && length == std::wcstoul(value.c_str(), nullptr, 10));
  }
  Check(CheckReceived(length) == ReplyLength::kFits || verdict != ReplyLength::kFits);
  return 0;
}
