// kesiregister LIBRARY [/u]: registers (or with /u unregisters) an in-process server by calling its own
// entry point, as regsvr32 does, without regsvr32's relaunch in the library's bitness. Exit code: 0, or
// the failing HRESULT (1 for a bad command line).
#include <windows.h>

int wmain(int argc, wchar_t** argv) {
  if (argc < 2 || argc > 3 || (argc == 3 && lstrcmpiW(argv[2], L"/u") != 0)) return 1;
  const char* entry = argc == 3 ? "DllUnregisterServer" : "DllRegisterServer";
  HMODULE library = LoadLibraryW(argv[1]);
  if (!library) return static_cast<int>(HRESULT_FROM_WIN32(GetLastError()));
  auto function = reinterpret_cast<HRESULT(WINAPI*)()>(GetProcAddress(library, entry));
  const HRESULT hr = function ? function() : HRESULT_FROM_WIN32(ERROR_PROC_NOT_FOUND);
  FreeLibrary(library);
  return static_cast<int>(hr);
}
