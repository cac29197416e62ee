// Packages and products: opening a package, querying a product, msiexec runs and removals, result lines.
#include <windows.h>

#include <cwchar>
#include <new>
#include <string>

#include "Handles.h"
#include "InstallSystem.h"
#include "LastError.h"
#include "Msi.h"
#include "MsiInternal.h"
#include "MsiLibrary.h"
#include "MsiRules.h"

namespace kesi::install {
namespace {

MsiVersion ToMsiVersion(const wchar_t* text) {
  const VpnVersion v = ParseVpnVersion(text);
  return MsiVersion{v.major, v.minor, v.build};
}

DWORD LanguageOrDefault(const wchar_t* text) {
  const long value = text ? std::wcstol(text, nullptr, 10) : 0;
  return value < 1 ? 1033 : static_cast<DWORD>(value);
}

// A text the installer writes into a caller's buffer (read(buffer, &size) as MsiGetProductInfoW and
// MsiGetProductPropertyW take it), grown once when it does not fit; the Windows Installer code.
template <typename Read>
UINT ReadInstallerText(Read read, std::wstring* value) {
  wchar_t small[64];
  DWORD size = 64;
  UINT result = read(small, &size);
  if (result == ERROR_SUCCESS) {
    value->assign(small, size);
    return 0;
  }
  if (result != ERROR_MORE_DATA) return result;
  std::wstring text(size + 1, L'\0');
  size += 1;
  result = read(&text[0], &size);
  if (result != ERROR_SUCCESS) return result;
  text.resize(size);
  *value = std::move(text);
  return 0;
}

// A property of an open package.
UINT ReadPackageProperty(const MsiLibrary* msi, MSIHANDLE package, const wchar_t* name, std::wstring* value) {
  return ReadInstallerText(
      [&](wchar_t* buffer, DWORD* size) { return msi->getProductProperty(package, name, buffer, size); }, value);
}

UINT ReadProductInfo(const MsiLibrary* msi, const wchar_t* product, const wchar_t* name, std::wstring* value) {
  return ReadInstallerText([&](wchar_t* buffer, DWORD* size) { return msi->getProductInfo(product, name, buffer, size); },
                           value);
}

// An engine on the package, without regard to what is installed. An installer that still refuses a package
// of another version of an installed product (1638: the package it has cached for the product differs)
// is given the package's database instead (*database, kept open as long as the engine), which it takes
// as it stands.
UINT OpenPackageEngine(const MsiLibrary* msi, const wchar_t* packagePath, UniqueMsi* database, UniqueMsi* engine) {
  MSIHANDLE opened = 0;
  UINT result = msi->openPackageEx(packagePath, MSIOPENPACKAGEFLAGS_IGNOREMACHINESTATE, &opened);
  if (result == ERROR_PRODUCT_VERSION) {
    MSIHANDLE read = 0;
    if (msi->openDatabase(packagePath, MSIDBOPEN_READONLY, &read) != ERROR_SUCCESS) return result;
    database->reset(read);
    const std::wstring byHandle = L"#" + std::to_wstring(read);
    result = msi->openPackageEx(byHandle.c_str(), MSIOPENPACKAGEFLAGS_IGNOREMACHINESTATE, &opened);
  }
  if (result == ERROR_SUCCESS) engine->reset(opened);
  return result;
}

INSTALLUILEVEL InternalUiLevel(MsiUiLevel level) {
  switch (level) {
    case MsiUiLevel::kNone: return INSTALLUILEVEL_NONE;
    case MsiUiLevel::kBasic: return INSTALLUILEVEL_BASIC;
    case MsiUiLevel::kReduced: return INSTALLUILEVEL_REDUCED;
    case MsiUiLevel::kFull: break;
  }
  return INSTALLUILEVEL_FULL;
}

// The user interface of this process's Windows Installer calls, put back when the scope ends.
class InternalUiScope {
 public:
  InternalUiScope(const MsiLibrary* msi, INSTALLUILEVEL level) : msi_(msi), previous_(msi->setInternalUI(level, nullptr)) {}
  ~InternalUiScope() { msi_->setInternalUI(previous_, nullptr); }
  InternalUiScope(const InternalUiScope&) = delete;
  InternalUiScope& operator=(const InternalUiScope&) = delete;

 private:
  const MsiLibrary* msi_;
  INSTALLUILEVEL previous_;
};

// As msiexec's "/l*v": every message and the verbose output.
constexpr DWORD kVerboseLogMode = INSTALLLOGMODE_FATALEXIT | INSTALLLOGMODE_ERROR | INSTALLLOGMODE_WARNING |
                                  INSTALLLOGMODE_USER | INSTALLLOGMODE_INFO | INSTALLLOGMODE_RESOLVESOURCE |
                                  INSTALLLOGMODE_OUTOFDISKSPACE | INSTALLLOGMODE_ACTIONSTART |
                                  INSTALLLOGMODE_ACTIONDATA | INSTALLLOGMODE_COMMONDATA |
                                  INSTALLLOGMODE_PROPERTYDUMP | INSTALLLOGMODE_VERBOSE;

}  // namespace

DWORD RunMsiexec(const std::wstring& commandLine, DWORD* exitCode) {
  wchar_t program[MAX_PATH + 16];
  const UINT length = GetSystemDirectoryW(program, MAX_PATH);
  if (length == 0) return LastErrorOr(ERROR_PATH_NOT_FOUND);
  if (length >= MAX_PATH) return ERROR_BUFFER_OVERFLOW;
  lstrcpyW(program + length, L"\\msiexec.exe");
  std::wstring line = commandLine;  // CreateProcessW may write into it
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info = {};
  if (!CreateProcessW(program, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info))
    return LastErrorOr(ERROR_GEN_FAILURE);
  UniqueHandle process(info.hProcess);
  UniqueHandle thread(info.hThread);
  if (WaitForSingleObject(process.get(), INFINITE) != WAIT_OBJECT_0) return LastErrorOr(ERROR_GEN_FAILURE);
  DWORD code = 0;
  if (!GetExitCodeProcess(process.get(), &code)) return LastErrorOr(ERROR_GEN_FAILURE);
  *exitCode = code;
  return 0;
}

DWORD OpenMsiPackage(const wchar_t* packagePath, MsiPackage* package) {
  if (!packagePath || !*packagePath || !package) return ERROR_INVALID_PARAMETER;
  try {
    const MsiLibrary* msi = BindMsiLibrary();
    if (!msi) return LastErrorOr(ERROR_PROC_NOT_FOUND);
    UniqueMsi database;
    UniqueMsi handle;
    {
      InternalUiScope quiet(msi, INSTALLUILEVEL_NONE);
      if (UINT result = OpenPackageEngine(msi, packagePath, &database, &handle)) return result;
    }
    MsiPackage read;
    read.path = packagePath;
    std::wstring version, language;
    if (UINT result = ReadPackageProperty(msi, handle.get(), L"ProductCode", &read.productCode)) return result;
    if (UINT result = ReadPackageProperty(msi, handle.get(), L"ProductVersion", &version)) return result;
    if (ReadPackageProperty(msi, handle.get(), L"ProductLanguage", &language) != 0) language.clear();
    read.version = ToMsiVersion(version.c_str());
    read.language = LanguageOrDefault(language.c_str());
    *package = std::move(read);
    return 0;
  } catch (const std::bad_alloc&) {
    return ERROR_OUTOFMEMORY;
  }
}

DWORD QueryMsiProduct(const wchar_t* productCode, MsiProduct* product) {
  if (!productCode || !*productCode || !product) return ERROR_INVALID_PARAMETER;
  try {
    const MsiLibrary* msi = BindMsiLibrary();
    if (!msi) return LastErrorOr(ERROR_PROC_NOT_FOUND);
    MsiProduct read;
    read.productCode = productCode;
    read.installed = msi->queryProductState(productCode) == INSTALLSTATE_DEFAULT;
    if (read.installed) {
      std::wstring version, language;
      if (UINT result = ReadProductInfo(msi, productCode, INSTALLPROPERTY_VERSIONSTRING, &version)) return result;
      if (ReadProductInfo(msi, productCode, INSTALLPROPERTY_LANGUAGE, &language) != 0) language.clear();
      read.version = ToMsiVersion(version.c_str());
      read.language = LanguageOrDefault(language.c_str());
    }
    *product = std::move(read);
    return 0;
  } catch (const std::bad_alloc&) {
    return ERROR_OUTOFMEMORY;
  }
}

DWORD RunAgentMsiexec(const wchar_t* packagePath, MsiUiLevel level, const wchar_t* logPath,
                      const wchar_t* installArguments) {
  if (!packagePath || !*packagePath) return ERROR_INVALID_PARAMETER;
  try {
    DWORD exitCode = 0;
    const DWORD started =
        RunMsiexec(AgentCommandLine(packagePath, level == MsiUiLevel::kNone ? 2 : 3, logPath, installArguments), &exitCode);
    return started ? started : exitCode;
  } catch (const std::bad_alloc&) {
    return ERROR_OUTOFMEMORY;
  }
}

DWORD UninstallMsiProduct(const wchar_t* productCode, MsiUiLevel level, const wchar_t* logPath,
                          const wchar_t* extraArguments) {
  if (!productCode || !*productCode) return ERROR_INVALID_PARAMETER;
  try {
    const MsiLibrary* msi = BindMsiLibrary();
    if (!msi) return LastErrorOr(ERROR_PROC_NOT_FOUND);
    InternalUiScope ui(msi, InternalUiLevel(level));
    const bool logging = logPath && *logPath;
    if (logging) msi->enableLog(kVerboseLogMode, logPath, 0);
    const UINT result = msi->configureProductEx(productCode, INSTALLLEVEL_MAXIMUM, INSTALLSTATE_ABSENT,
                                                RemoveCommandLine(extraArguments).c_str());
    if (logging) msi->enableLog(0, nullptr, 0);
    return result;
  } catch (const std::bad_alloc&) {
    return ERROR_OUTOFMEMORY;
  }
}

std::wstring MsiResultLine(DWORD code) { return MsiResultText(code); }

}  // namespace kesi::install
