#include "LogFileIo.h"

#include <cwchar>

namespace kesi {

bool AppendPath(wchar_t* buffer, const wchar_t* text) {
  size_t used = wcslen(buffer);
  size_t add = wcslen(text);
  if (used + add >= MAX_PATH) return false;
  wmemcpy(buffer + used, text, add + 1);
  return true;
}

int ToAnsi(const wchar_t* text, int count, char* out, int room) {
  while (count > 0) {
    int need = WideCharToMultiByte(CP_ACP, 0, text, count, nullptr, 0, nullptr, nullptr);
    if (need > 0 && need < room) {
      int n = WideCharToMultiByte(CP_ACP, 0, text, count, out, room - 1, nullptr, nullptr);
      out[n] = '\0';
      return n;
    }
    if (need <= 0) break;
    int excess = need - (room - 1);
    count -= excess > 3 ? excess / 3 : 1;
    if (count > 0 && IS_HIGH_SURROGATE(text[count - 1])) --count;
  }
  out[0] = '\0';
  return 0;
}

DWORD WriteAll(HANDLE file, const void* bytes, DWORD count) {
  DWORD written = 0;
  if (!WriteFile(file, bytes, count, &written, nullptr)) return GetLastError();
  return written == count ? ERROR_SUCCESS : ERROR_WRITE_FAULT;
}

}  // namespace kesi
