#pragma once
// What the uninstaller's tests share: the program under test and its message table, the product list in
// the registry, the three test products, and doubles for the question and the installer calls.
#include <gtest/gtest.h>
#include <windows.h>
#include <msi.h>

#include <map>
#include <string>
#include <vector>

#include "Handles.h"
#include "TestFiles.h"
#include "TestMsi.h"
#include "TestProcess.h"
#include "TestText.h"
#include "Uninstall.h"
#include "UninstallSystem.h"

namespace kesi::uninstall::test {

using kesi::test::IsProductInstalled;
using kesi::test::Narrow;
using kesi::test::RemoveProductIfInstalled;

constexpr wchar_t kAlpha[] = L"{40B089C6-14D6-42AA-AE70-C90879CE8F60}";
constexpr wchar_t kBravo[] = L"{46F86A2B-4C1F-429B-8D52-E9B8E8E6801C}";
constexpr wchar_t kLibrary[] = L"{0616408B-0A2F-4F76-80BC-AC48DBE53936}";

inline std::wstring UninstallerPath() {
  return kesi::test::BuildTestsFolder() + L"..\\src\\uninstaller\\kesiuninstall.exe";
}

// The program under test, loaded as data for its message table.
inline HMODULE UninstallerMessages() {
  static const HMODULE module =
      LoadLibraryExW(UninstallerPath().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
  return module;
}

// ---- The product list ------------------------------------------------------------------------------

struct Value {
  std::wstring name;
  std::wstring code;
};

inline void DeleteList(HKEY root) { RegDeleteKeyExW(root, kUninstallListKey, kUninstallListView, 0); }

inline void DeleteLists() {
  DeleteList(HKEY_LOCAL_MACHINE);
  DeleteList(HKEY_CURRENT_USER);
}

// Creates the list key under root (empty when no values are given) and writes the values as REG_SZ.
inline ::testing::AssertionResult WriteList(HKEY root, const std::vector<Value>& values) {
  HKEY opened = nullptr;
  LSTATUS status = RegCreateKeyExW(root, kUninstallListKey, 0, nullptr, 0, KEY_WRITE | kUninstallListView, nullptr,
                                   &opened, nullptr);
  if (status != ERROR_SUCCESS) return ::testing::AssertionFailure() << "cannot create the list key: " << status;
  UniqueKey key(opened);
  for (const Value& value : values) {
    status = RegSetValueExW(key.get(), value.name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(value.code.c_str()),
                            static_cast<DWORD>((value.code.size() + 1) * sizeof(wchar_t)));
    if (status != ERROR_SUCCESS)
      return ::testing::AssertionFailure() << "cannot write " << Narrow(value.name) << ": " << status;
  }
  return ::testing::AssertionSuccess();
}

// Writes one value of any type and size under root's list key.
inline ::testing::AssertionResult WriteRawValue(HKEY root, const std::wstring& name, DWORD type, const void* data,
                                                DWORD bytes) {
  HKEY opened = nullptr;
  LSTATUS status = RegCreateKeyExW(root, kUninstallListKey, 0, nullptr, 0, KEY_WRITE | kUninstallListView, nullptr,
                                   &opened, nullptr);
  if (status != ERROR_SUCCESS) return ::testing::AssertionFailure() << "cannot create the list key: " << status;
  UniqueKey key(opened);
  status = RegSetValueExW(key.get(), name.c_str(), 0, type, static_cast<const BYTE*>(data), bytes);
  if (status != ERROR_SUCCESS) return ::testing::AssertionFailure() << "cannot write " << Narrow(name) << ": " << status;
  return ::testing::AssertionSuccess();
}

// The value names of root's list in the registry's own enumeration order.
inline std::vector<std::wstring> EnumerationOrder(HKEY root) {
  std::vector<std::wstring> names;
  HKEY opened = nullptr;
  if (RegOpenKeyExW(root, kUninstallListKey, 0, KEY_READ | kUninstallListView, &opened) != ERROR_SUCCESS) return names;
  UniqueKey key(opened);
  for (DWORD index = 0;; ++index) {
    wchar_t name[300];
    DWORD chars = 300;
    if (RegEnumValueW(key.get(), index, name, &chars, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    names.emplace_back(name, chars);
  }
  return names;
}

// ---- The test products -----------------------------------------------------------------------------

inline std::wstring PackagePath(const wchar_t* name) {
  return kesi::test::BuildTestsFolder() + L"uninstaller\\packages\\" + name + L".msi";
}

// The product's state read straight from the installer (not through the code under test).

// Installs a test package with the system's msiexec, quietly; its exit code (or the start's error).
inline DWORD InstallWithMsiexec(const wchar_t* name) {
  wchar_t system[MAX_PATH];
  GetSystemDirectoryW(system, MAX_PATH);
  const std::wstring msiexec = std::wstring(system) + L"\\msiexec.exe";
  std::wstring command = L"\"" + msiexec + L"\" /i \"" + PackagePath(name) + L"\" /qn";
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION info = {};
  if (!CreateProcessW(msiexec.c_str(), &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info))
    return GetLastError();
  CloseHandle(info.hThread);
  UniqueHandle process(info.hProcess);
  if (WaitForSingleObject(process.get(), 60000) != WAIT_OBJECT_0) return WAIT_TIMEOUT;
  DWORD code = 0;
  GetExitCodeProcess(process.get(), &code);
  return code;
}


// ---- Doubles -------------------------------------------------------------------------------------------

// The question: what was asked, and the answer to give.
struct Question {
  int count = 0;
  std::wstring text;
  std::wstring caption;
  UINT type = 0;
  int answer = IDYES;
};
inline Question g_question;

inline int WINAPI AnswerQuestion(HWND, const wchar_t* text, const wchar_t* caption, UINT type) {
  ++g_question.count;
  g_question.text = text ? text : L"<null>";
  g_question.caption = caption ? caption : L"<null>";
  g_question.type = type;
  return g_question.answer;
}

inline std::vector<std::wstring> g_traces;
inline void RecordTrace(const wchar_t* line) { g_traces.emplace_back(line); }

// The installer calls: each removal attempt is recorded; the answers are scripted per product code, or
// (forward) the real calls run.
struct Attempt {
  std::wstring product;
  INSTALLUILEVEL level;  // the internal interface set before the attempt
  bool logOff;           // logging was switched off before the attempt
  int installLevel;
  INSTALLSTATE state;
  std::wstring commandLine;
};
struct MsiDouble {
  bool forward = false;
  std::map<std::wstring, INSTALLSTATE> states;            // default: installed
  std::map<std::wstring, std::vector<UINT>> results;      // per attempt, default 0
  std::vector<Attempt> attempts;
  INSTALLUILEVEL level = INSTALLUILEVEL_NOCHANGE;
  bool logOff = false;
  MsiLibrary calls = {};
  const MsiLibrary* real = nullptr;
};
inline MsiDouble g_msi;

inline INSTALLSTATE WINAPI DoubleQueryState(LPCWSTR product) {
  if (g_msi.forward) return g_msi.real->queryProductState(product);
  auto found = g_msi.states.find(product);
  return found == g_msi.states.end() ? INSTALLSTATE_DEFAULT : found->second;
}
inline INSTALLUILEVEL WINAPI DoubleSetInternalUI(INSTALLUILEVEL level, HWND* window) {
  g_msi.level = level;
  g_msi.logOff = false;
  return g_msi.forward ? g_msi.real->setInternalUI(level, window) : INSTALLUILEVEL_DEFAULT;
}
inline UINT WINAPI DoubleEnableLog(DWORD mode, LPCWSTR file, DWORD attributes) {
  g_msi.logOff = mode == 0 && file == nullptr;
  return g_msi.forward ? g_msi.real->enableLog(mode, file, attributes) : 0;
}
inline UINT WINAPI DoubleConfigure(LPCWSTR product, int installLevel, INSTALLSTATE state, LPCWSTR commandLine) {
  g_msi.attempts.push_back(Attempt{product, g_msi.level, g_msi.logOff, installLevel, state, commandLine ? commandLine : L""});
  g_msi.level = INSTALLUILEVEL_NOCHANGE;
  g_msi.logOff = false;
  if (g_msi.forward) return g_msi.real->configureProductEx(product, installLevel, state, commandLine);
  std::vector<UINT>& scripted = g_msi.results[product];
  if (scripted.empty()) return 0;
  const UINT result = scripted.front();
  scripted.erase(scripted.begin());
  return result;
}
inline const MsiLibrary* DoubleMsi() { return &g_msi.calls; }

// Installs the doubles (question answered Yes, scripted installer) and puts the real calls back after.
class UninstallTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_question = Question();
    g_traces.clear();
    g_msi = MsiDouble();
    g_msi.real = BindMsiLibrary();
    ASSERT_NE(nullptr, g_msi.real);
    g_msi.calls = *g_msi.real;
    g_msi.calls.queryProductState = &DoubleQueryState;
    g_msi.calls.setInternalUI = &DoubleSetInternalUI;
    g_msi.calls.enableLog = &DoubleEnableLog;
    g_msi.calls.configureProductEx = &DoubleConfigure;
    UninstallSystem system = DefaultUninstallSystem();
    system.prompt = &AnswerQuestion;
    system.msi = &DoubleMsi;
    system.trace = &RecordTrace;
    SetUninstallSystem(system);
    DeleteLists();
    ASSERT_NE(nullptr, UninstallerMessages()) << Narrow(UninstallerPath()) << ": error " << GetLastError();
  }
  void TearDown() override {
    SetUninstallSystem(DefaultUninstallSystem());
    DeleteLists();
  }

  // The products the attempts named, in order (repeats included).
  static std::vector<std::wstring> Attempted() {
    std::vector<std::wstring> products;
    for (const Attempt& attempt : g_msi.attempts) products.push_back(attempt.product);
    return products;
  }
};

}  // namespace kesi::uninstall::test
