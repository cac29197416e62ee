// kesicatalograce.exe NAME COUNT: one of two processes changing the catalog beside this program at once.
// Adds its own entry NAME once, then COUNT times adds and removes the entry "shared" that the other
// process changes too. The exit code is the first failure, or 0.
#include <windows.h>

#include <cwchar>
#include <string>

#include "Catalog.h"

int wmain(int argc, wchar_t** argv) {
  if (argc != 3) return ERROR_INVALID_PARAMETER;
  wchar_t catalog[MAX_PATH];
  if (!kesi::install::CatalogPath(catalog)) return ERROR_FILE_NOT_FOUND;
  std::wstring folder(catalog);
  folder.erase(folder.find_last_of(L'\\') + 1);
  const std::wstring own = folder + argv[1] + L".inf";
  const std::wstring shared = folder + L"shared.inf";
  DWORD result = kesi::install::CatalogAdd(argv[1], own.c_str(), false);
  for (long i = wcstol(argv[2], nullptr, 10); i > 0 && !result; --i) {
    result = kesi::install::CatalogAdd(L"shared", shared.c_str(), true);
    if (!result) result = kesi::install::CatalogRemove(shared.c_str());
  }
  return static_cast<int>(result);
}
