#include "BootstrapRules.h"

#include "CookieList.h"

namespace kesi::bootstrap {
namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// A field of decimal digits, 1 to maxDigits of them.
bool ReadField(std::string_view field, size_t maxDigits, unsigned* value) {
  if (field.empty() || field.size() > maxDigits) return false;
  unsigned v = 0;
  for (char c : field) {
    if (!IsDigit(c)) return false;
    v = v * 10 + static_cast<unsigned>(c - '0');
  }
  *value = v;
  return true;
}

constexpr const wchar_t* kCookieNames[kSessionPropertyCount] = {
    L"FARLINK_ID", L"urlConfig", L"responseUrl", L"successUrl", L"epclogoffUrl", L"failureUrl", L"autoUploadUrl"};

}  // namespace

int CompareVersions(const ClientVersion& a, const ClientVersion& b) {
  if (a.major != b.major) return a.major < b.major ? -1 : 1;
  if (a.minor != b.minor) return a.minor < b.minor ? -1 : 1;
  if (a.build != b.build) return a.build < b.build ? -1 : 1;
  return 0;
}

bool ParseBuildVersionLine(std::string_view line, ClientVersion* version) {
  const size_t end = line.find_first_of("\r\n");
  if (end != std::string_view::npos) line = line.substr(0, end);
  while (!line.empty() && (line.back() == ' ' || line.back() == '\t')) line.remove_suffix(1);
  std::string_view fields[4];
  for (int i = 0; i < 4; ++i) {
    const size_t comma = line.find(',');
    if ((comma == std::string_view::npos) != (i == 3)) return false;
    fields[i] = line.substr(0, comma);
    line = comma == std::string_view::npos ? std::string_view() : line.substr(comma + 1);
  }
  unsigned major = 0, tens = 0, units = 0, build = 0;
  if (!ReadField(fields[0], 9, &major) || !ReadField(fields[1], 1, &tens) || !ReadField(fields[2], 1, &units) ||
      !ReadField(fields[3], 9, &build))
    return false;
  *version = ClientVersion{major, tens * 10 + units, build};
  return true;
}

std::wstring ProgIdKeyPath(std::wstring_view prefix, const ClientVersion& version) {
  std::wstring build = std::to_wstring(version.build);
  if (version.build == 0) build = L"0000";
  else if (build.size() < 3) build.insert(0, 3 - build.size(), L'0');
  std::wstring path = L"Software\\Classes\\";
  path.append(prefix);
  path += std::to_wstring(version.major) + L"." + std::to_wstring(version.minor / 10) + L"." +
          std::to_wstring(version.minor % 10) + L"." + build + L"\\CLSID";
  return path;
}

const wchar_t* SessionCookieName(SessionProperty property) {
  return property >= 0 && property < kSessionPropertyCount ? kCookieNames[property] : L"";
}

SessionProperties PickSessionProperties(std::wstring_view cookieText) {
  SessionProperties properties;
  bool exact[kSessionPropertyCount] = {};
  for (const CookiePair& pair : SplitCookies(cookieText)) {
    for (int p = 0; p < kSessionPropertyCount; ++p) {
      const bool equal = pair.first == kCookieNames[p];
      if (!equal && (exact[p] || pair.first.find(kCookieNames[p]) == std::wstring::npos)) continue;
      exact[p] = exact[p] || equal;
      properties.value[p] = pair.second;
      properties.present[p] = !pair.second.empty();
    }
  }
  return properties;
}

bool IsJavaVersionUsable(std::wstring_view currentVersion) {
  unsigned parts[2] = {0, 0};
  size_t i = 0;
  for (int p = 0; p < 2; ++p) {
    bool any = false;
    while (i < currentVersion.size() && currentVersion[i] >= L'0' && currentVersion[i] <= L'9') {
      if (parts[p] < 100000) parts[p] = parts[p] * 10 + static_cast<unsigned>(currentVersion[i] - L'0');
      any = true;
      ++i;
    }
    if (!any) {
      if (p == 0) return false;
      break;
    }
    if (i >= currentVersion.size() || currentVersion[i] != L'.') break;
    ++i;
  }
  return parts[0] >= 2 || (parts[0] == 1 && parts[1] >= 6);
}

std::wstring TakeOwnershipCommandLine(std::wstring_view program, std::wstring_view appData) {
  std::wstring line = L"\"";
  line.append(program);
  line += L"\" /F \"";
  line.append(appData);
  line += L"\\Velmora\" /R /D Y";
  return line;
}

}  // namespace kesi::bootstrap
