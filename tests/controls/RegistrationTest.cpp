// The library's registration as the system's registrar and type-library calls leave it in the registry,
// and the objects created through it by the script hosts of both bitnesses.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Handles.h"
#include "InstallSnapshot.h"
#include "ScriptHost.h"
#include "TestFiles.h"
#include "TestText.h"

namespace kesi::test {
namespace {

constexpr wchar_t kClasses[] = L"Software\\Classes\\";
constexpr wchar_t kLibId[] = L"{F8882BF4-688C-4E47-BCA1-148D77B04DF1}";
constexpr wchar_t kAutomationMarshaller[] = L"{00020424-0000-0000-C000-000000000046}";
constexpr wchar_t kInstallerClsid[] = L"{A7BC4157-A8EC-488F-9808-C63E2ACB0996}";
constexpr wchar_t kInterrogatorClsid[] = L"{2A1BE1E7-C550-4D67-A553-7F2D3A39233D}";
constexpr wchar_t kInstallerIid[] = L"{FD5AB1F2-EFDB-46B0-98CB-12D65D451625}";
constexpr wchar_t kInterrogatorIid[] = L"{0A908604-64AD-4F81-B7AE-ED2359D3D523}";

std::wstring BuildLibraryPath() {
  wchar_t full[MAX_PATH];
  GetFullPathNameW((BuildTestsFolder() + L"..\\src\\controls\\KESI.dll").c_str(), MAX_PATH, full, nullptr);
  return full;
}

// A string value under HKLM\Software\Classes; "<missing>" when the key or value is not there.
std::wstring ClassesValue(const std::wstring& key, const wchar_t* name = nullptr) {
  UniqueKey opened;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, (kClasses + key).c_str(), 0, KEY_QUERY_VALUE, opened.put()) != ERROR_SUCCESS)
    return L"<missing>";
  wchar_t data[1024] = {};
  DWORD bytes = sizeof data - sizeof(wchar_t), type = 0;
  if (RegQueryValueExW(opened.get(), name, nullptr, &type, reinterpret_cast<BYTE*>(data), &bytes) != ERROR_SUCCESS)
    return L"<missing>";
  return type == REG_SZ ? std::wstring(data) : L"<type " + std::to_wstring(type) + L">";
}

bool ClassesKeyExists(const std::wstring& key) {
  UniqueKey opened;
  return RegOpenKeyExW(HKEY_LOCAL_MACHINE, (kClasses + key).c_str(), 0, KEY_READ, opened.put()) == ERROR_SUCCESS;
}

struct ExpectedValue {
  std::wstring key;
  const wchar_t* name;  // null: the default value
  std::wstring value;
};

// Everything one registration of the library at modulePath writes, value by value.
std::vector<ExpectedValue> ExpectedRegistration(const std::wstring& modulePath) {
  const std::wstring installer = std::wstring(L"CLSID\\") + kInstallerClsid;
  const std::wstring interrogator = std::wstring(L"CLSID\\") + kInterrogatorClsid;
  const std::wstring typeLib = std::wstring(L"TypeLib\\") + kLibId + L"\\2.0";
  const wchar_t* platform = sizeof(void*) == 8 ? L"\\0\\win64" : L"\\0\\win32";
  std::vector<ExpectedValue> expected = {
      {installer, nullptr, L"Velmora End Point Installer"},
      {installer + L"\\ProgID", nullptr, L"Velmora.KESInstaller.1"},
      {installer + L"\\VersionIndependentProgID", nullptr, L"Velmora.KESInstaller"},
      {installer + L"\\InprocServer32", nullptr, modulePath},
      {installer + L"\\InprocServer32", L"ThreadingModel", L"Both"},
      {installer + L"\\TypeLib", nullptr, kLibId},
      {interrogator, nullptr, L"Velmora Installer "},
      {interrogator + L"\\ProgID", nullptr, L"Velmora.KESInterrogator.1"},
      {interrogator + L"\\VersionIndependentProgID", nullptr, L"Velmora.KESInterrogator"},
      {interrogator + L"\\InprocServer32", nullptr, modulePath},
      {interrogator + L"\\InprocServer32", L"ThreadingModel", L"Both"},
      {interrogator + L"\\TypeLib", nullptr, kLibId},
      {L"Velmora.KESInstaller.1", nullptr, L"Velmora End Point Installer"},
      {L"Velmora.KESInstaller.1\\CLSID", nullptr, kInstallerClsid},
      {L"Velmora.KESInstaller", nullptr, L"Velmora End Point Installer"},
      {L"Velmora.KESInstaller\\CLSID", nullptr, kInstallerClsid},
      {L"Velmora.KESInstaller\\CurVer", nullptr, L"Velmora.KESInstaller.1"},
      {L"Velmora.KESInterrogator.1", nullptr, L"Velmora End Point Interrogator "},
      {L"Velmora.KESInterrogator.1\\CLSID", nullptr, kInterrogatorClsid},
      {L"Velmora.KESInterrogator", nullptr, L"Velmora End Point Interrogator "},
      {L"Velmora.KESInterrogator\\CLSID", nullptr, kInterrogatorClsid},
      {L"Velmora.KESInterrogator\\CurVer", nullptr, L"Velmora.KESInterrogator.1"},
      {typeLib, nullptr, L"KESI 2.0 Type Library"},
      {typeLib + platform, nullptr, modulePath},
  };
  for (const wchar_t* iid : {kInstallerIid, kInterrogatorIid}) {
    const std::wstring key = std::wstring(L"Interface\\") + iid;
    expected.push_back({key + L"\\ProxyStubClsid", nullptr, kAutomationMarshaller});
    expected.push_back({key + L"\\ProxyStubClsid32", nullptr, kAutomationMarshaller});
    expected.push_back({key + L"\\TypeLib", nullptr, kLibId});
    // The script writes 1.0; registering the type library then writes its own version.
    expected.push_back({key + L"\\TypeLib", L"Version", L"2.0"});
  }
  return expected;
}

void ExpectRegisteredAt(const std::wstring& modulePath) {
  for (const ExpectedValue& entry : ExpectedRegistration(modulePath)) {
    EXPECT_EQ(Narrow(entry.value), Narrow(ClassesValue(entry.key, entry.name)))
        << Narrow(entry.key) << " " << (entry.name ? Narrow(entry.name) : "(default)");
  }
  // Windows writes the library's flags without "has disk image" (0); Wine writes them as they are (8).
  const std::wstring flags = ClassesValue(std::wstring(L"TypeLib\\") + kLibId + L"\\2.0\\FLAGS");
  EXPECT_TRUE(flags == L"0" || flags == L"8") << Narrow(flags);
  EXPECT_TRUE(ClassesKeyExists(std::wstring(L"CLSID\\") + kInstallerClsid + L"\\Programmable"));
  EXPECT_TRUE(ClassesKeyExists(std::wstring(L"CLSID\\") + kInterrogatorClsid + L"\\Programmable"));
}

// What the registration owns, recorded with its values.
InstallSnapshot RegistrationSnapshot() {
  InstallSnapshot snapshot;
  const std::wstring classes = kClasses;
  for (const wchar_t* key : {L"CLSID\\{A7BC4157-A8EC-488F-9808-C63E2ACB0996}", L"CLSID\\{2A1BE1E7-C550-4D67-A553-7F2D3A39233D}",
                             L"Interface\\{FD5AB1F2-EFDB-46B0-98CB-12D65D451625}",
                             L"Interface\\{0A908604-64AD-4F81-B7AE-ED2359D3D523}", L"Velmora.KESInstaller",
                             L"Velmora.KESInstaller.1", L"Velmora.KESInterrogator", L"Velmora.KESInterrogator.1",
                             L"TypeLib\\{F8882BF4-688C-4E47-BCA1-148D77B04DF1}"})
    snapshot.RegistryTree(HKEY_LOCAL_MACHINE, classes + key);
  snapshot.Take();
  return snapshot;
}

// A copy of KESI.dll loaded in the test, with its registration entry points.
class LoadedLibrary {
 public:
  explicit LoadedLibrary(const std::wstring& path) : module_(LoadLibraryW(path.c_str())) {}
  bool Loaded() const { return static_cast<bool>(module_); }
  HRESULT Call(const char* entry) const {
    auto function = reinterpret_cast<HRESULT(WINAPI*)()>(GetProcAddress(module_.get(), entry));
    return function ? function() : HRESULT_FROM_WIN32(ERROR_PROC_NOT_FOUND);
  }

 private:
  UniqueModule module_;
};

// The tests below start from the library registered by the "kesi_registered" fixture and leave it so.
TEST(Registration, WritesEveryKeyWithItsExactValue) { ExpectRegisteredAt(BuildLibraryPath()); }

TEST(Registration, TwiceLeavesOneSetAndUnregistrationKeepsTheSharedParents) {
  const InstallSnapshot registered = RegistrationSnapshot();
  LoadedLibrary library(BuildLibraryPath());
  ASSERT_TRUE(library.Loaded());

  ASSERT_EQ(S_OK, library.Call("DllRegisterServer"));
  EXPECT_EQ("", registered.Difference(registered.Again())) << "a second registration changed the keys";

  ASSERT_EQ(S_OK, library.Call("DllUnregisterServer"));
  for (const wchar_t* gone : {L"CLSID\\{A7BC4157-A8EC-488F-9808-C63E2ACB0996}", L"CLSID\\{2A1BE1E7-C550-4D67-A553-7F2D3A39233D}",
                              L"Interface\\{FD5AB1F2-EFDB-46B0-98CB-12D65D451625}",
                              L"Interface\\{0A908604-64AD-4F81-B7AE-ED2359D3D523}", L"Velmora.KESInstaller",
                              L"Velmora.KESInstaller.1", L"Velmora.KESInterrogator", L"Velmora.KESInterrogator.1"})
    EXPECT_FALSE(ClassesKeyExists(gone)) << Narrow(gone);
  for (const wchar_t* kept : {L"CLSID", L"Interface", L"TypeLib"}) EXPECT_TRUE(ClassesKeyExists(kept)) << Narrow(kept);

  ASSERT_EQ(S_OK, library.Call("DllRegisterServer"));
  EXPECT_EQ("", registered.Difference(registered.Again())) << "registering again did not restore the keys";
  ExpectRegisteredAt(BuildLibraryPath());
}

// The registrar ends a quoted value at a lone apostrophe; the library doubles it, so a copy in such a folder
// is registered under its full path.
TEST(Registration, FolderWithAnApostropheRegistersTheFullPath) {
  const TempFolder folder(L"O'Brien's controls");
  ASSERT_TRUE(folder.Created());
  const std::wstring copy = folder / L"KESI.dll";
  ASSERT_TRUE(CopyFileW(BuildLibraryPath().c_str(), copy.c_str(), FALSE));
  {
    LoadedLibrary library(copy);
    ASSERT_TRUE(library.Loaded());
    ASSERT_EQ(S_OK, library.Call("DllRegisterServer"));
    ExpectRegisteredAt(copy);
  }
  LoadedLibrary build(BuildLibraryPath());
  ASSERT_EQ(S_OK, build.Call("DllRegisterServer"));
  ExpectRegisteredAt(BuildLibraryPath());
}

// Both ProgIDs of each class create the object in the script host of the test's bitness (the version-
// independent one through its own CLSID key: Wine does not follow CurVer).
TEST(Registration, BothProgIdsCreateTheObjectsFromTheScriptHost) {
  const ScriptRun run = RunScript(ScriptPath(L"progids.js"));
  ASSERT_EQ(0u, run.error);
  EXPECT_EQ(0u, run.exitCode) << run.output;
  for (const char* progId : {"Velmora.KESInterrogator created", "Velmora.KESInterrogator.1 created",
                             "Velmora.KESInstaller created", "Velmora.KESInstaller.1 created"})
    EXPECT_NE(std::string::npos, run.output.find(progId)) << run.output;
}

}  // namespace
}  // namespace kesi::test
