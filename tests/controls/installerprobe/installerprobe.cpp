// kesiinstallerprobe folders OUT: writes the installer object's protected-mode answer and folders to OUT
// ("protected=0|1", "config=...", "package=..." lines, ASCII).
// kesiinstallerprobe create FOLDER: creates FOLDER as the object creates its folders; the exit code is
// the result.
// Both run under this program's own Windows version and DLL overrides (Wine's AppDefaults).
#include <windows.h>

#include <string>

#include "InstallerFolders.h"

int wmain(int argc, wchar_t** argv) {
  if (argc < 3) return ERROR_INVALID_PARAMETER;
  const std::wstring command = argv[1];
  if (command == L"create") return static_cast<int>(kesi::controls::CreateInstallerFolder(std::wstring(argv[2]) + L"\\"));
  if (command != L"folders") return ERROR_INVALID_PARAMETER;
  const std::wstring text = L"protected=" + std::to_wstring(kesi::controls::IsProtectedModeProcess() ? 1 : 0) +
                            L"\nconfig=" + kesi::controls::ConfigurationFolder() +
                            L"\npackage=" + kesi::controls::PackageFolder() + L"\n";
  std::string out;
  for (wchar_t c : text) out += (c > 0 && c < 128) ? static_cast<char>(c) : '?';
  HANDLE file = CreateFileW(argv[2], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return static_cast<int>(GetLastError());
  DWORD written = 0;
  const BOOL ok = WriteFile(file, out.data(), static_cast<DWORD>(out.size()), &written, nullptr);
  CloseHandle(file);
  return ok ? 0 : static_cast<int>(GetLastError());
}
