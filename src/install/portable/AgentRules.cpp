#include "AgentRules.h"

#include <cwchar>
#include <limits>

#include "InstallPath.h"

namespace kesi {
namespace {

constexpr size_t kVersionChars = 20;

bool IsDigit(wchar_t c) { return c >= L'0' && c <= L'9'; }

wchar_t Lower(wchar_t c) { return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c - L'A' + L'a') : c; }

bool EqualNoCase(const wchar_t* a, const wchar_t* b, size_t count) {
  for (size_t i = 0; i < count; ++i)
    if (Lower(a[i]) != Lower(b[i])) return false;
  return true;
}

int HexValue(wchar_t c) {
  if (c >= L'0' && c <= L'9') return c - L'0';
  if (c >= L'a' && c <= L'f') return c - L'a' + 10;
  if (c >= L'A' && c <= L'F') return c - L'A' + 10;
  return -1;
}

// A path element with its %XX escapes decoded; false for an escape that decodes to a byte above 0x7F
// (a name that is not plain ASCII text is not taken apart here).
bool DecodeElement(const std::wstring& raw, std::wstring* decoded) {
  decoded->clear();
  for (size_t i = 0; i < raw.size(); ++i) {
    if (raw[i] == L'%' && i + 2 < raw.size() && HexValue(raw[i + 1]) >= 0 && HexValue(raw[i + 2]) >= 0) {
      const int byte = HexValue(raw[i + 1]) * 16 + HexValue(raw[i + 2]);
      if (byte > 0x7F) return false;
      decoded->push_back(static_cast<wchar_t>(byte));
      i += 2;
    } else {
      decoded->push_back(raw[i]);
    }
  }
  return true;
}

// CheckInstallEntryName reads up to a NUL, so a decoded NUL is refused here first.
bool IsPlainName(const std::wstring& name) {
  return name.find(L'\0') == std::wstring::npos && CheckInstallEntryName(name.c_str()) == 0;
}

}  // namespace

bool ReduceAgentVersion(const wchar_t* agentVersion, ThreePartVersion* reduced) {
  *reduced = ThreePartVersion();
  if (!agentVersion) return false;
  size_t length = 0;
  while (length < kVersionChars && agentVersion[length]) ++length;
  size_t separators = 0;
  for (size_t i = 0; i < length; ++i)
    if (!IsDigit(agentVersion[i])) ++separators;

  const size_t wanted = separators >= 3 ? 4 : 3;
  uint64_t numbers[4] = {};
  size_t found = 0;
  for (size_t i = 0; i < length && found < wanted;) {
    if (!IsDigit(agentVersion[i])) {
      ++i;
      continue;
    }
    uint64_t value = 0;
    for (; i < length && IsDigit(agentVersion[i]); ++i) {
      value = value * 10 + static_cast<uint64_t>(agentVersion[i] - L'0');
      if (value > std::numeric_limits<uint32_t>::max()) return false;
    }
    numbers[found++] = value;
  }
  if (found != wanted) return false;

  uint64_t minor = numbers[1];
  uint64_t build = numbers[2];
  if (wanted == 4) {
    minor = numbers[1] * (numbers[2] < 10 ? 10 : 100) + numbers[2];
    build = numbers[3];
    if (minor > std::numeric_limits<uint32_t>::max()) return false;
  }
  reduced->major = static_cast<uint32_t>(numbers[0]);
  reduced->minor = static_cast<uint32_t>(minor);
  reduced->build = static_cast<uint32_t>(build);
  return true;
}

int CompareThreePart(const ThreePartVersion& a, const ThreePartVersion& b) {
  if (a.major != b.major) return a.major < b.major ? -1 : 1;
  if (a.minor != b.minor) return a.minor < b.minor ? -1 : 1;
  if (a.build != b.build) return a.build < b.build ? -1 : 1;
  return 0;
}

std::wstring ThreePartText(const ThreePartVersion& version) {
  return std::to_wstring(version.major) + L"." + std::to_wstring(version.minor) + L"." +
         std::to_wstring(version.build);
}

namespace {

std::vector<std::wstring> VersionParts(const wchar_t* text) {
  std::vector<std::wstring> parts;
  if (!text) return parts;
  std::wstring part;
  for (const wchar_t* p = text;; ++p) {
    if (*p == L'.' || !*p) {
      if (!part.empty() && parts.size() < 4) parts.push_back(part);
      part.clear();
      if (!*p) break;
    } else {
      part.push_back(*p);
    }
  }
  return parts;
}

}  // namespace

bool DllVersionNeedsUpdate(const wchar_t* agentVersion, const wchar_t* fileVersion) {
  const std::vector<std::wstring> agent = VersionParts(agentVersion);
  const std::vector<std::wstring> file = VersionParts(fileVersion);
  for (size_t i = 0; i < agent.size() && i < file.size(); ++i) {
    if (agent[i] == L"*" || agent[i] == L"x" || agent[i] == L"X") continue;
    if (agent[i].compare(file[i]) > 0) return true;
  }
  return false;
}

uint32_t CredentialFromCookieText(const wchar_t* text, std::wstring* credential) {
  if (!text) return kErrorInvalidParameter;
  const size_t length = wcslen(text);
  const size_t nameLength = wcslen(kCredentialName);
  const wchar_t* value = text;
  size_t valueLength = length;
  for (size_t at = length >= nameLength ? length - nameLength + 1 : 0; at-- > 0;) {
    if (EqualNoCase(text + at, kCredentialName, nameLength)) {
      const size_t after = at + nameLength + 1;  // the name and the "=" behind it
      value = after <= length ? text + after : text + length;
      valueLength = static_cast<size_t>(text + length - value);
      break;
    }
  }
  if (nameLength + 1 + valueLength >= kCredentialChars) return kErrorInsufficientBuffer;
  std::wstring result(kCredentialName);
  result += L'=';
  result.append(value, valueLength);
  credential->swap(result);
  return 0;
}

uint32_t DeployPlaceFromUrl(const wchar_t* url, DeployPlace* place) {
  *place = DeployPlace();
  if (!url) return kErrorInvalidParameter;
  std::wstring path(url);
  const size_t scheme = path.find(L"://");
  if (scheme != std::wstring::npos) {
    const size_t slash = path.find(L'/', scheme + 3);
    path = slash == std::wstring::npos ? std::wstring() : path.substr(slash);
  }
  const size_t end = path.find_first_of(L"?#");
  if (end != std::wstring::npos) path.resize(end);

  std::vector<std::wstring> elements;
  size_t start = 0;
  while (true) {
    const size_t slash = path.find(L'/', start);
    std::wstring decoded;
    if (!DecodeElement(path.substr(start, slash == std::wstring::npos ? std::wstring::npos : slash - start), &decoded))
      return kErrorInvalidParameter;
    elements.push_back(decoded);
    if (slash == std::wstring::npos) break;
    start = slash + 1;
  }

  DeployPlace result;
  result.fileName = elements.back();
  elements.pop_back();
  if (!IsPlainName(result.fileName)) return kErrorInvalidParameter;
  const size_t dot = result.fileName.rfind(L'.');
  if (dot == std::wstring::npos) return kErrorInvalidParameter;
  for (size_t i = dot; i < result.fileName.size(); ++i) result.extension.push_back(Lower(result.fileName[i]));
  if (result.extension != L".msi" && result.extension != L".dll" && result.extension != L".cfg" &&
      result.extension != L".pbk")
    return kErrorInvalidParameter;

  size_t below = 0;
  while (below < elements.size() && elements[below] != L"postauth") ++below;
  for (size_t i = below + 1; i < elements.size(); ++i) {
    if (!IsPlainName(elements[i])) return kErrorInvalidParameter;
    result.folders.push_back(elements[i]);
  }
  *place = std::move(result);
  return 0;
}

}  // namespace kesi
