/* A stand-in for the install launcher: it appends its command line (one line, ASCII) to "lines.txt" in
   the folder named by the environment variable KESI_LAUNCHER_DOUBLE and exits with the number in that
   folder's "exit.txt" (0 when missing); "hang" there makes it wait a minute first. */
#include <windows.h>
#include <stdlib.h>
#include <string.h>

static void Path(wchar_t* out, const wchar_t* folder, const wchar_t* name) {
  lstrcpyW(out, folder);
  lstrcatW(out, L"\\");
  lstrcatW(out, name);
}

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE previous, PWSTR arguments, int show) {
  wchar_t folder[MAX_PATH], path[MAX_PATH];
  char text[65536], control[64] = {0};
  DWORD done = 0;
  int length;
  HANDLE file;
  (void)instance, (void)previous, (void)arguments, (void)show;
  if (!GetEnvironmentVariableW(L"KESI_LAUNCHER_DOUBLE", folder, MAX_PATH)) return 2;
  length = WideCharToMultiByte(CP_ACP, 0, GetCommandLineW(), -1, text, sizeof text - 2, NULL, NULL);
  if (length <= 0) return 2;
  text[length - 1] = '\n';
  Path(path, folder, L"lines.txt");
  file = CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ, NULL, OPEN_ALWAYS, 0, NULL);
  if (file != INVALID_HANDLE_VALUE) {
    WriteFile(file, text, (DWORD)length, &done, NULL);
    CloseHandle(file);
  }
  Path(path, folder, L"exit.txt");
  file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
  if (file != INVALID_HANDLE_VALUE) {
    ReadFile(file, control, sizeof control - 1, &done, NULL);
    CloseHandle(file);
  }
  if (strncmp(control, "hang", 4) == 0) {
    Sleep(60000);
    return 5;
  }
  return atoi(control);
}
