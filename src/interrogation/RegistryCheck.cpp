// The registry check: a key's existence, or one value (or the values whose names match a pattern)
// compared with the expected data.
#include <cwchar>

#include "Checks.h"
#include "Handles.h"
#include "HostChecks.h"

namespace kesi {

namespace {

constexpr DWORD kValueBytes = 2048;     // a longer value cannot be read and compares false
constexpr DWORD kValueNameChars = 512;  // longer names are passed over by the pattern search
constexpr REGSAM kKeyAccess = KEY_QUERY_VALUE | KEY_ENUMERATE_SUB_KEYS;

struct RootEntry {
  const wchar_t* name;
  HKEY key;
};
const RootEntry kRoots[] = {
    {L"HKEY_CLASSES_ROOT", HKEY_CLASSES_ROOT}, {L"HKEY_CURRENT_CONFIG", HKEY_CURRENT_CONFIG},
    {L"HKEY_CURRENT_USER", HKEY_CURRENT_USER}, {L"HKEY_LOCAL_MACHINE", HKEY_LOCAL_MACHINE},
    {L"HKEY_USERS", HKEY_USERS},
};

HKEY FindRoot(const wchar_t* name) {
  for (const RootEntry& root : kRoots)
    if (CompareStringW(LOCALE_INVARIANT, NORM_IGNORECASE, name, -1, root.name, -1) == CSTR_EQUAL) return root.key;
  return nullptr;
}

// Every "\\" becomes "\", in place.
void UnescapeBackslashes(wchar_t* text) {
  wchar_t* out = text;
  for (const wchar_t* in = text; *in; ++in) {
    *out++ = *in;
    if (in[0] == L'\\' && in[1] == L'\\') ++in;
  }
  *out = 0;
}

enum Outcome : unsigned { kLess = 1, kEqual = 2, kGreater = 4 };

// The outcomes an operator accepts: none means equal; "=" equal (or, with "!", anything but equal);
// "<" adds less and ">" greater.
unsigned AcceptedOutcomes(const wchar_t* op) {
  if (!op) return kEqual;
  unsigned accepted = 0;
  if (wcschr(op, L'=')) accepted = wcschr(op, L'!') ? (kLess | kGreater) : kEqual;
  if (wcschr(op, L'<')) accepted |= kLess;
  if (wcschr(op, L'>')) accepted |= kGreater;
  return accepted;
}

// The expected data in its two forms: as written (a wildcard pattern keeps its escapes) and with every
// "\\" made one backslash (for a plain comparison).
struct Expected {
  const wchar_t* pattern;  // null when absent
  const wchar_t* plain;    // null when absent
};

// The value's outcome against the expected data, or 0 when it cannot be compared.
unsigned CompareRegistryValue(HKEY key, const wchar_t* name, const Expected& expected) {
  // Two spare zero bytes keep a string that fills the buffer terminated.
  alignas(DWORD) BYTE value[kValueBytes + sizeof(wchar_t)] = {};
  DWORD size = kValueBytes;
  DWORD type = REG_NONE;
  if (RegQueryValueExW(key, name, nullptr, &type, value, &size) != ERROR_SUCCESS) return 0;

  switch (type) {
    case REG_SZ:
    case REG_EXPAND_SZ:
    case REG_MULTI_SZ: {  // of a multi-string only the first string takes part
      const wchar_t* text = reinterpret_cast<const wchar_t*>(value);
      if (HasWildcards(expected.pattern)) return WildcardMatch(expected.pattern, text, true) ? kEqual : kLess;
      int order = CompareStringW(LOCALE_USER_DEFAULT, NORM_IGNOREWIDTH, text, -1,
                                 expected.plain ? expected.plain : L"", -1);
      if (order == CSTR_LESS_THAN) return kLess;
      if (order == CSTR_EQUAL) return kEqual;
      if (order == CSTR_GREATER_THAN) return kGreater;
      return 0;
    }
    case REG_BINARY:
    case REG_DWORD:
    case REG_DWORD_BIG_ENDIAN: {
      unsigned wanted = 0;
      if (!expected.plain || swscanf(expected.plain, L"%u", &wanted) != 1) return 0;
      DWORD actual = type == REG_DWORD_BIG_ENDIAN
                         ? (DWORD{value[0]} << 24) | (DWORD{value[1]} << 16) | (DWORD{value[2]} << 8) | value[3]
                         : (DWORD{value[3]} << 24) | (DWORD{value[2]} << 16) | (DWORD{value[1]} << 8) | value[0];
      // The difference as a signed 32-bit number decides, as the appliance expects.
      LONG difference = static_cast<LONG>(actual - wanted);
      return difference < 0 ? kLess : difference == 0 ? kEqual : kGreater;
    }
    default:
      return 0;
  }
}

bool ValueHolds(HKEY key, const wchar_t* name, const Expected& expected, unsigned accepted) {
  return (CompareRegistryValue(key, name, expected) & accepted) != 0;
}

}  // namespace

LONG EvaluateRegistry(const wchar_t* parameters, LONG* verdict) {
  if (!verdict) return kCheckUnprepared;
  std::unique_ptr<wchar_t[]> copy = DuplicateText(parameters);
  if (!copy) return kCheckUnprepared;

  wchar_t* cursor = nullptr;
  wchar_t* keyPath = NextField(copy.get(), L",", &cursor);
  if (!keyPath) return kCheckUnprepared;
  const wchar_t* nameField = nullptr;
  const wchar_t* dataField = nullptr;
  const wchar_t* op = nullptr;
  if (*cursor != L',') {
    nameField = NextField(nullptr, L",", &cursor);
    if (*cursor != L',') dataField = NextField(nullptr, L",", &cursor);
    op = NextField(nullptr, L",", &cursor);
  } else {
    // No value name: the default value, compared for equality; no operator is read.
    dataField = NextField(nullptr, L",", &cursor);
  }

  wchar_t* subkey = wcschr(keyPath, L'\\');
  if (subkey) *subkey++ = 0;
  HKEY root = FindRoot(keyPath);
  if (!root) return kCheckUnprepared;

  std::unique_ptr<wchar_t[]> subkeyText = ExpandLiteralText(subkey ? subkey : L"", false, true);
  std::unique_ptr<wchar_t[]> name = ExpandLiteralText(nameField, false, true);
  std::unique_ptr<wchar_t[]> pattern = ExpandLiteralText(dataField, false, true);
  std::unique_ptr<wchar_t[]> plain = ExpandLiteralText(dataField, false, true);
  if (!subkeyText || (nameField && !name) || (dataField && (!pattern || !plain))) return kCheckUnprepared;
  if (plain) UnescapeBackslashes(plain.get());
  Expected expected{pattern.get(), plain.get()};

  REGSAM access = kKeyAccess | (IsNative64BitSystem() ? KEY_WOW64_64KEY : 0);
  kesi::UniqueKey key;
  if (RegOpenKeyExW(root, subkeyText.get(), 0, access, key.put()) != ERROR_SUCCESS) return ERROR_SUCCESS;

  if (!name && !dataField) {
    *verdict = 1;  // the key exists
    return ERROR_SUCCESS;
  }

  unsigned accepted = AcceptedOutcomes(op);
  if (name && (wcschr(name.get(), L'?') || wcschr(name.get(), L'*'))) {
    LONG result = 0;
    for (DWORD index = 0;; ++index) {
      wchar_t valueName[kValueNameChars + 1];
      DWORD length = kValueNameChars + 1;
      LONG error = RegEnumValueW(key.get(), index, valueName, &length, nullptr, nullptr, nullptr, nullptr);
      if (error == ERROR_MORE_DATA) continue;
      if (error != ERROR_SUCCESS) break;
      if (WildcardMatch(name.get(), valueName, true) && ValueHolds(key.get(), valueName, expected, accepted)) {
        result = 1;
        break;
      }
    }
    *verdict = result;
    return ERROR_SUCCESS;
  }

  if (name) UnescapeBackslashes(name.get());
  *verdict = ValueHolds(key.get(), name ? name.get() : L"", expected, accepted) ? 1 : 0;
  return ERROR_SUCCESS;
}

}  // namespace kesi
