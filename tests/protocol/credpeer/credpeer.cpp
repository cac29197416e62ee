// credpeer protect TARGET FLAGS USER PASSWORD   prints the serialized credential record in hexadecimal
// credpeer unprotect HEXRECORD                   prints the user name, a line feed and the plain secret
//                                                in hexadecimal
// The exit code is the first error (0 on success).
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <vector>

#include "RQCredential.h"
#include "SecureWipe.h"

namespace {

void PrintHex(const BYTE* bytes, DWORD length) {
  for (DWORD i = 0; i < length; ++i) std::printf("%02X", bytes[i]);
}

bool ParseHex(const wchar_t* text, std::vector<BYTE>& out) {
  const size_t n = wcslen(text);
  if (n % 2) return false;
  for (size_t i = 0; i < n; i += 2) {
    unsigned v = 0;
    if (swscanf(text + i, L"%2x", &v) != 1) return false;
    out.push_back(static_cast<BYTE>(v));
  }
  return true;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc == 6 && wcscmp(argv[1], L"protect") == 0) {
    kesi::RQCredential credential(argv[2], wcstoul(argv[3], nullptr, 10));
    DWORD e = credential.SetUserAndPassword(argv[4], argv[5]);
    if (e) return static_cast<int>(e);
    DWORD size = 0;
    credential.Serialize(nullptr, &size);
    std::vector<BYTE> record(size);
    e = credential.Serialize(record.data(), &size);
    if (e) return static_cast<int>(e);
    PrintHex(record.data(), size);
    std::printf("\n");
    return 0;
  }
  if (argc == 3 && wcscmp(argv[1], L"unprotect") == 0) {
    std::vector<BYTE> record;
    if (!ParseHex(argv[2], record) || record.empty()) return ERROR_INVALID_PARAMETER;
    kesi::RQCredential credential(L"", 0);
    DWORD e = credential.Deserialize(record.data(), static_cast<DWORD>(record.size()));
    if (e) return static_cast<int>(e);
    std::vector<BYTE> secret(credential.GetSecretSize() + 1);
    DWORD size = static_cast<DWORD>(secret.size());
    e = credential.GetSecret(secret.data(), &size, FALSE);
    if (e) return static_cast<int>(e);
    std::printf("%s\n", credential.GetUserName().GetUtf8() ? credential.GetUserName().GetUtf8() : "");
    PrintHex(secret.data(), size);
    std::printf("\n");
    kesi::SecureWipe(secret.data(), secret.size());
    return 0;
  }
  std::fprintf(stderr, "usage: credpeer protect TARGET FLAGS USER PASSWORD | unprotect HEXRECORD\n");
  return ERROR_INVALID_PARAMETER;
}
