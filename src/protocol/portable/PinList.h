#pragma once
// The text of the appliance pin policy: SHA-256 hashes of DER certificates, written as hexadecimal.
// OS-free: built for Windows and natively.
#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kesi {

using CertificateHash = std::array<uint8_t, 32>;

// The hashes listed in text. Entries are separated by NUL (the strings of a REG_MULTI_SZ), ';', ',' or
// blanks (space, tab, CR, LF); an entry is 64 hexadecimal digits of either case, which may be grouped
// by ':' ("AB:CD:..." as certificate tools print them). A malformed entry is skipped: it pins nothing.
// Throws std::bad_alloc when memory runs out.
std::vector<CertificateHash> ParsePinList(std::wstring_view text);

// 64 upper-case hexadecimal digits.
std::wstring HashToHex(const CertificateHash& hash);

}  // namespace kesi
