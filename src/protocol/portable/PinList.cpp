#include "PinList.h"

#include "HexText.h"

namespace kesi {
namespace {

bool IsSeparator(wchar_t c) {
  return c == L'\0' || c == L';' || c == L',' || c == L' ' || c == L'\t' || c == L'\r' || c == L'\n';
}

int HexValue(wchar_t c) {
  if (c >= L'0' && c <= L'9') return c - L'0';
  if (c >= L'a' && c <= L'f') return c - L'a' + 10;
  if (c >= L'A' && c <= L'F') return c - L'A' + 10;
  return -1;
}

// One entry: 64 digits, ':' allowed only between two-digit groups.
bool ParseEntry(std::wstring_view entry, CertificateHash& hash) {
  size_t digits = 0;
  for (size_t i = 0; i < entry.size(); ++i) {
    const wchar_t c = entry[i];
    if (c == L':') {
      if (digits == 0 || digits % 2 != 0 || i + 1 == entry.size() || entry[i + 1] == L':') return false;
      continue;
    }
    const int value = HexValue(c);
    if (value < 0 || digits == 2 * hash.size()) return false;
    if (digits % 2 == 0)
      hash[digits / 2] = static_cast<uint8_t>(value << 4);
    else
      hash[digits / 2] = static_cast<uint8_t>(hash[digits / 2] | value);
    ++digits;
  }
  return digits == 2 * hash.size();
}

}  // namespace

std::vector<CertificateHash> ParsePinList(std::wstring_view text) {
  std::vector<CertificateHash> hashes;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = start;
    while (end < text.size() && !IsSeparator(text[end])) ++end;
    CertificateHash hash{};
    if (end > start && ParseEntry(text.substr(start, end - start), hash)) hashes.push_back(hash);
    start = end + 1;
  }
  return hashes;
}

std::wstring HashToHex(const CertificateHash& hash) { return BytesToHexText(hash.data(), hash.size()); }

}  // namespace kesi
