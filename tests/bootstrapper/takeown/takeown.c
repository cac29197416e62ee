/* A stand-in for the system's take-ownership program: writes its command line (UTF-16) to the file that
   KESI_TAKEOWN_RECORD names and exits with the code in KESI_TAKEOWN_EXIT (default 0). */
#include <windows.h>
#include <stdlib.h>

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE previous, PWSTR commandLine, int show) {
  wchar_t record[MAX_PATH], code[16];
  const wchar_t* line = GetCommandLineW();
  if (GetEnvironmentVariableW(L"KESI_TAKEOWN_RECORD", record, MAX_PATH)) {
    HANDLE file = CreateFileW(record, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file != INVALID_HANDLE_VALUE) {
      DWORD written;
      WriteFile(file, line, (DWORD)(lstrlenW(line) * sizeof(wchar_t)), &written, NULL);
      CloseHandle(file);
    }
  }
  if (GetEnvironmentVariableW(L"KESI_TAKEOWN_EXIT", code, 16)) return _wtoi(code);
  return 0;
}
