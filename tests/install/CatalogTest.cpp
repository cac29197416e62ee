// The component catalog kesi.cat: its bytes, lookups by INF path and by name, its bounds, non-ANSI paths,
// two processes at once, and KESI.dll's exports over it.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Catalog.h"
#include "Handles.h"
#include "TestFiles.h"
#include "TestProcess.h"
#include "TestText.h"

namespace kesi::install {
namespace {

using test::Narrow;
using test::ReadWholeFile;
using test::TempFolder;
using test::WithCrLf;

// The uninstall engine's double: journals each call, answers from a table by INF path, and on success
// drops the entry through CatalogRemove as the engine does.
struct UninstallCall {
  std::wstring infPath;
  bool removeDir;
};
struct UninstallAnswer {
  std::wstring infPath;
  DWORD result;
  BYTE reboot;
};
std::vector<UninstallCall> g_calls;
std::vector<UninstallAnswer> g_answers;
std::wstring g_modulePath;
void (*g_duringUninstall)() = nullptr;

DWORD JournalingUninstall(const wchar_t* infPath, bool removeDir, BYTE* rebootNeeded) {
  g_calls.push_back({infPath, removeDir});
  if (g_duringUninstall) g_duringUninstall();
  for (const UninstallAnswer& answer : g_answers) {
    if (answer.infPath != infPath) continue;
    if (answer.result) return answer.result;
    *rebootNeeded = answer.reboot;
    break;
  }
  return CatalogRemove(infPath);
}

DWORD TestModulePath(wchar_t* buffer, DWORD size) {
  if (g_modulePath.size() >= size) {
    wcsncpy(buffer, g_modulePath.c_str(), size);
    return size;
  }
  wcscpy(buffer, g_modulePath.c_str());
  return static_cast<DWORD>(g_modulePath.size());
}

std::string Utf16(const std::wstring& text) {
  return std::string(reinterpret_cast<const char*>(text.data()), text.size() * sizeof(wchar_t));
}
const std::string kByteOrderMark("\xFF\xFE", 2);

class Catalog : public ::testing::Test {
 protected:
  explicit Catalog(const wchar_t* folderName = L"catalog") : folder_(folderName) {}
  void SetUp() override {
    ASSERT_TRUE(folder_.Created());
    g_calls.clear();
    g_answers.clear();
    g_duringUninstall = nullptr;
    g_modulePath = folder_ / L"kesihost.dll";
    previous_ = SetCatalogSystem(CatalogSystem{&JournalingUninstall, &TestModulePath, 200});
  }
  void TearDown() override { SetCatalogSystem(previous_); }

  std::wstring CatalogFile() const { return folder_ / L"kesi.cat"; }
  std::string Bytes() const { return ReadWholeFile(CatalogFile()); }
  // Writes the catalog as UTF-16 with its byte-order mark; lines end in CR LF.
  void WriteCatalog(const std::wstring& text) const {
    ASSERT_TRUE(test::WriteWholeFile(CatalogFile(), kByteOrderMark + Utf16(WithCrLf(text))));
  }
  // An existing (empty) description file for a component in the test's folder.
  std::wstring Inf(const std::wstring& name) const {
    const std::wstring path = folder_ / (name + L".inf");
    EXPECT_TRUE(test::WriteWholeFile(path, ""));
    return path;
  }
  std::wstring Value(const wchar_t* section, const wchar_t* key) const {
    wchar_t value[1024];
    GetPrivateProfileStringW(section, key, L"", value, 1024, CatalogFile().c_str());
    return value;
  }
  std::wstring Sections() const {
    wchar_t names[4096];
    const DWORD length = GetPrivateProfileSectionNamesW(names, 4096, CatalogFile().c_str());
    std::wstring joined(names, length);
    for (wchar_t& c : joined)
      if (!c) c = L'|';
    return joined;
  }

  TempFolder folder_;
  CatalogSystem previous_{};
};

TEST_F(Catalog, WritesTheFormatByteForByteInUtf16) {
  const std::wstring inf = folder_ / L"lwnlsp.inf";
  ASSERT_EQ(0u, CatalogAdd(L"lwnlsp", inf.c_str(), true));
  EXPECT_EQ(kByteOrderMark + Utf16(WithCrLf(L"[Catalog]\nlwnlsp=lwnlsp\n[lwnlsp]\nINF=" + inf + L"\nRemoveDIR=Yes\n")),
            Bytes());
  // Adding a listed name again overwrites its values; its line stays single.
  const std::wstring other = folder_ / L"sub\\lwnlsp.inf";
  ASSERT_EQ(0u, CatalogAdd(L"lwnlsp", other.c_str(), false));
  ASSERT_EQ(0u, CatalogAdd(L"qolma", inf.c_str(), true));
  EXPECT_EQ(kByteOrderMark + Utf16(WithCrLf(L"[Catalog]\nlwnlsp=lwnlsp\nqolma=qolma\n[lwnlsp]\nINF=" + other +
                                            L"\nRemoveDIR=No\n[qolma]\nINF=" + inf + L"\nRemoveDIR=Yes\n")),
            Bytes());
}

TEST_F(Catalog, RefusesMissingArgumentsPathsAndNamesThatDoNotFit) {
  const std::wstring longName(MAX_PATH, L'n');
  const std::wstring longInf = folder_ / std::wstring(MAX_PATH, L'i');
  struct Case {
    const char* what;
    DWORD expected;
    DWORD (*call)(const std::wstring& longName, const std::wstring& longInf);
  } cases[] = {
      {"add, no name", 87, [](auto&, auto&) { return CatalogAdd(nullptr, L"C:\\a.inf", true); }},
      {"add, empty name", 87, [](auto&, auto&) { return CatalogAdd(L"", L"C:\\a.inf", true); }},
      {"add, no path", 87, [](auto&, auto&) { return CatalogAdd(L"a", nullptr, true); }},
      {"add, empty path", 87, [](auto&, auto&) { return CatalogAdd(L"a", L"", true); }},
      {"remove, no path", 87, [](auto&, auto&) { return CatalogRemove(nullptr); }},
      {"remove, empty path", 87, [](auto&, auto&) { return CatalogRemove(L""); }},
      {"uninstall, no name", 87, [](auto&, auto&) { return CatalogUninstall(nullptr, nullptr); }},
      {"uninstall, empty name", 87, [](auto&, auto&) { return CatalogUninstall(L"", nullptr); }},
      {"add, long name", 206, [](auto& n, auto&) { return CatalogAdd(n.c_str(), L"C:\\a.inf", true); }},
      {"add, long path", 206, [](auto&, auto& i) { return CatalogAdd(L"a", i.c_str(), true); }},
      {"uninstall, long name", 206, [](auto& n, auto&) { return CatalogUninstall(n.c_str(), nullptr); }},
      {"uninstall, not listed", 2, [](auto&, auto&) { return CatalogUninstall(L"absent", nullptr); }},
  };
  for (const Case& c : cases) EXPECT_EQ(c.expected, c.call(longName, longInf)) << c.what;
  EXPECT_FALSE(test::PathExists(CatalogFile()));

  // Without a module path, with one cut, or when the catalog's path would not fit (12 characters
  // beside a 248-character folder name make 260), every operation gives 2.
  const std::wstring modulePaths[] = {L"", L"C:\\" + std::wstring(MAX_PATH, L'd') + L"\\k.dll",
                                      L"C:\\" + std::wstring(248, L'd') + L"\\k.dll"};
  for (const std::wstring& modulePath : modulePaths) {
    g_modulePath = modulePath;
    BYTE reboot = 7;
    EXPECT_EQ(2u, CatalogAdd(L"a", L"C:\\a.inf", true)) << modulePath.size();
    EXPECT_EQ(2u, CatalogRemove(L"C:\\a.inf")) << modulePath.size();
    EXPECT_EQ(2u, CatalogUninstall(L"a", &reboot)) << modulePath.size();
    EXPECT_EQ(2u, CatalogUninstallAll(&reboot)) << modulePath.size();
    EXPECT_EQ(7, reboot);
  }
}

TEST_F(Catalog, RemovesTheEntryWhoseInfMatchesWithoutRegardToCase) {
  WriteCatalog(L"[Catalog]\nalpha=alpha\nnoequals\nbeta=beta\n[alpha]\nINF=C:\\Comp\\alpha.inf\nRemoveDIR=Yes\n"
               L"[beta]\nINF=C:\\Comp\\Beta.inf\nRemoveDIR=No\n");
  const std::string before = Bytes();
  EXPECT_EQ(0u, CatalogRemove(L"C:\\Comp\\gamma.inf"));
  EXPECT_EQ(before, Bytes()) << "an unlisted path changes nothing";

  EXPECT_EQ(0u, CatalogRemove(L"c:\\comp\\BETA.INF"));
  EXPECT_EQ(L"Catalog|alpha|", Sections());
  EXPECT_EQ(L"", Value(L"Catalog", L"beta"));
  EXPECT_EQ(L"alpha", Value(L"Catalog", L"alpha"));
  EXPECT_TRUE(g_calls.empty()) << "removing uninstalls nothing";
}

TEST_F(Catalog, UninstallsByNameWithTheRemoveFolderFlagOfTheFirstCharacter) {
  struct Case {
    const wchar_t* removeDir;  // nullptr: no key
    bool expected;
  } cases[] = {{L"Yes", true}, {L"yes", true}, {L"Y", true}, {L"No", false}, {L"1", false}, {nullptr, false}};
  for (const Case& c : cases) {
    const std::wstring inf = Inf(L"comp");
    WriteCatalog(L"[Catalog]\ncomp=comp\n[comp]\nINF=" + inf + L"\n" +
                 (c.removeDir ? std::wstring(L"RemoveDIR=") + c.removeDir + L"\n" : std::wstring()));
    g_calls.clear();
    BYTE reboot = 7;
    EXPECT_EQ(0u, CatalogUninstall(L"COMP", &reboot)) << Narrow(c.removeDir);
    ASSERT_EQ(1u, g_calls.size()) << Narrow(c.removeDir);
    EXPECT_EQ(inf, g_calls[0].infPath);
    EXPECT_EQ(c.expected, g_calls[0].removeDir) << Narrow(c.removeDir);
    EXPECT_EQ(0, reboot);
    EXPECT_EQ(L"Catalog|", Sections()) << Narrow(c.removeDir);
  }

  // A failed uninstall keeps the entry for a retry and leaves the flag alone; an empty INF is "not listed".
  const std::wstring inf = Inf(L"comp");
  WriteCatalog(L"[Catalog]\ncomp=comp\nbare=bare\n[comp]\nINF=" + inf + L"\nRemoveDIR=Yes\n[bare]\nRemoveDIR=Yes\n");
  g_answers = {{inf, 1603, 0}};
  const std::string before = Bytes();
  BYTE reboot = 7;
  EXPECT_EQ(1603u, CatalogUninstall(L"comp", &reboot));
  EXPECT_EQ(2u, CatalogUninstall(L"bare", &reboot));
  EXPECT_EQ(7, reboot);
  EXPECT_EQ(before, Bytes());
}

TEST_F(Catalog, UninstallAllGoesOnPastFailuresAndOrsTheRebootFlags) {
  const std::wstring lw = Inf(L"lw"), lwnlsp = Inf(L"lwnlsp"), first = Inf(L"first"), broken = Inf(L"broken"),
                     last = Inf(L"last");
  // "lw" takes "lwnlsp" first; the later "lwnlsp" line then finds nothing, which counts as success.
  WriteCatalog(L"[Catalog]\nfirst=first\nlw=lw\nbroken=broken\nlwnlsp=lwnlsp\nlast=last\n"
               L"[first]\nINF=" + first + L"\n[lw]\nINF=" + lw + L"\n[broken]\nINF=" + broken +
               L"\n[lwnlsp]\nINF=" + lwnlsp + L"\n[last]\nINF=" + last + L"\n");
  g_answers = {{first, 0, 1}, {broken, 5, 0}, {last, 0, 0}};
  BYTE reboot = 0;
  EXPECT_EQ(5u, CatalogUninstallAll(&reboot));
  std::vector<std::wstring> order;
  for (const UninstallCall& call : g_calls) order.push_back(call.infPath);
  EXPECT_EQ((std::vector<std::wstring>{first, lwnlsp, lw, broken, last}), order);
  EXPECT_EQ(1, reboot) << "the first component's restart is not hidden by the later ones";
  EXPECT_EQ(L"Catalog|broken|", Sections());
  EXPECT_EQ(L"broken", Value(L"Catalog", L"broken"));

  // A null flag is allowed; "lw" without "lwnlsp" uninstalls alone.
  WriteCatalog(L"[Catalog]\nlw=lw\n[lw]\nINF=" + lw + L"\n");
  g_calls.clear();
  EXPECT_EQ(0u, CatalogUninstall(L"LW", nullptr));
  ASSERT_EQ(1u, g_calls.size());
  EXPECT_EQ(lw, g_calls[0].infPath);
  EXPECT_EQ(0u, CatalogUninstallAll(nullptr));
}

TEST_F(Catalog, DropsAnEntryWhoseDescriptionFileIsGone) {
  const std::wstring gone = folder_ / L"gone\\gone.inf";
  ASSERT_EQ(0u, CatalogAdd(L"gone", gone.c_str(), true));
  BYTE reboot = 7;
  EXPECT_EQ(0u, CatalogUninstall(L"gone", &reboot));
  EXPECT_TRUE(g_calls.empty()) << "nothing left for the engine to read";
  EXPECT_EQ(7, reboot) << "nothing was uninstalled";
  EXPECT_EQ(L"Catalog|", Sections());

  ASSERT_EQ(0u, CatalogAdd(L"gone", gone.c_str(), true));
  EXPECT_EQ(0u, CatalogUninstallAll(&reboot));
  EXPECT_EQ(L"Catalog|", Sections());
}

// An uninstall holds the catalog: another thread's change waits for the bound and gets 1460, changing
// nothing, while the uninstall's own call back into the catalog goes through.
DWORD g_otherResult;
DWORD WINAPI OtherCaller(void*) { return g_otherResult = CatalogAdd(L"other", L"C:\\other.inf", true); }

TEST_F(Catalog, AnotherCallerTimesOutWhileAnUninstallHoldsTheCatalog) {
  const std::wstring inf = Inf(L"comp");
  ASSERT_EQ(0u, CatalogAdd(L"comp", inf.c_str(), false));
  g_otherResult = 0;
  g_duringUninstall = [] {
    UniqueHandle thread(CreateThread(nullptr, 0, &OtherCaller, nullptr, 0, nullptr));
    WaitForSingleObject(thread.get(), INFINITE);
  };
  EXPECT_EQ(0u, CatalogUninstall(L"comp", nullptr));
  EXPECT_EQ(1460u, g_otherResult);
  EXPECT_EQ(L"Catalog|", Sections());
}

// The section's text is its lines, each with its terminating NUL.
TEST_F(Catalog, ASectionOf1022CharactersOrMoreIsRefusedAndLeftAlone) {
  struct Case {
    size_t sectionChars;
    DWORD expected;
  } cases[] = {{1021, 0}, {1022, 234}, {3000, 234}};
  for (const Case& c : cases) {
    const std::wstring inf = Inf(L"a");
    // "a=a" and "p=<filler>" make 4 + 3 + filler characters.
    WriteCatalog(L"[Catalog]\na=a\np=" + std::wstring(c.sectionChars - 7, L'f') + L"\n[a]\nINF=" + inf + L"\n");
    const std::string before = Bytes();
    g_calls.clear();
    EXPECT_EQ(c.expected, CatalogRemove(inf.c_str())) << c.sectionChars;
    if (c.expected) {
      EXPECT_EQ(before, Bytes()) << c.sectionChars;
    }
    WriteCatalog(L"[Catalog]\na=a\np=" + std::wstring(c.sectionChars - 7, L'f') + L"\n[a]\nINF=" + inf + L"\n");
    // Under the bound every line is tried: "p" names a section that does not fit a 260-character field.
    EXPECT_EQ(c.expected ? c.expected : 206u, CatalogUninstallAll(nullptr)) << c.sectionChars;
    EXPECT_EQ(c.expected ? 0u : 1u, g_calls.size()) << c.sectionChars;
    if (c.expected) {
      EXPECT_EQ(before, Bytes()) << c.sectionChars;
    }
  }
}

class CatalogInCyrillicFolder : public Catalog {
 protected:
  CatalogInCyrillicFolder() : Catalog(L"\x041a\x0430\x0442\x0430\x043b\x043e\x0433") {}
};

TEST_F(CatalogInCyrillicFolder, KeepsNonAnsiPathsAndStillReadsAnAnsiCatalog) {
  const std::wstring inf = Inf(L"\x043a\x043e\x043c\x043f");
  ASSERT_EQ(0u, CatalogAdd(L"komp", inf.c_str(), true));
  EXPECT_EQ(0, Bytes().compare(0, 2, kByteOrderMark));
  EXPECT_EQ(inf, Value(L"komp", L"INF"));
  EXPECT_EQ(0u, CatalogUninstall(L"komp", nullptr));
  ASSERT_EQ(1u, g_calls.size());
  EXPECT_EQ(inf, g_calls[0].infPath);
  EXPECT_EQ(L"Catalog|", Sections()) << "found again by its path";

  // A catalog written before, in the ANSI code page, is read and changed as it is.
  ASSERT_TRUE(test::WriteWholeFile(CatalogFile(), "[Catalog]\r\nansi=ansi\r\nkeep=keep\r\n[ansi]\r\nINF=C:\\A\\ansi.inf"
                                                  "\r\nRemoveDIR=No\r\n[keep]\r\nINF=x\r\n"));
  EXPECT_EQ(0u, CatalogRemove(L"c:\\a\\ANSI.inf"));
  EXPECT_EQ(L"Catalog|keep|", Sections());
  EXPECT_NE(0, Bytes().compare(0, 2, kByteOrderMark)) << "an existing catalog keeps its encoding";
}

// Two processes at once, each adding and removing the same entry and adding one of its own: with the
// catalog locked per operation, every line keeps its section and no update is lost.
TEST(CatalogProcesses, TwoRacingProcessesLeaveTheCatalogWhole) {
  TempFolder folder(L"catalograce");
  ASSERT_TRUE(folder.Created());
  const std::wstring program = folder / L"kesicatalograce.exe";
  ASSERT_TRUE(CopyFileW((test::BuildTestsFolder() + L"install\\kesicatalograce.exe").c_str(), program.c_str(), FALSE));
  test::ChildProcess first, second;
  ASSERT_TRUE(first.Start(program, L"one 200"));
  ASSERT_TRUE(second.Start(program, L"two 200"));
  for (test::ChildProcess* child : {&first, &second}) {
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(child->Handle(), 90000));
    DWORD code = 1;
    GetExitCodeProcess(child->Handle(), &code);
    EXPECT_EQ(0u, code);
  }
  const std::wstring catalog = folder / L"kesi.cat";
  wchar_t text[4096];
  // Either process may add its own entry first.
  DWORD length = GetPrivateProfileSectionNamesW(text, 4096, catalog.c_str());
  const std::wstring names(text, length);
  EXPECT_TRUE(names == std::wstring(L"Catalog\0one\0two\0", 16) || names == std::wstring(L"Catalog\0two\0one\0", 16))
      << Narrow(names);
  length = GetPrivateProfileSectionW(L"Catalog", text, 4096, catalog.c_str());
  const std::wstring lines(text, length);
  EXPECT_TRUE(lines == std::wstring(L"one=one\0two=two\0", 16) || lines == std::wstring(L"two=two\0one=one\0", 16))
      << Narrow(lines);
  for (const wchar_t* name : {L"one", L"two"}) {
    GetPrivateProfileStringW(name, L"INF", L"", text, 4096, catalog.c_str());
    EXPECT_EQ(folder / (std::wstring(name) + L".inf"), text);
  }
}

// KESI.dll exports the four functions by their plain names; called from a copy of the library, the
// catalog is the one beside that copy, and its uninstalls run the install engine (which finds no
// "Add.Code" in an empty description: 2, and the entry stays).
TEST(CatalogExports, KesiDllExportsTheCatalogBesideItself) {
  TempFolder folder(L"catalogexports");
  ASSERT_TRUE(folder.Created());
  const std::wstring library = folder / L"KESI.dll";
  ASSERT_TRUE(CopyFileW((test::BuildTestsFolder() + L"..\\src\\controls\\KESI.dll").c_str(), library.c_str(), FALSE));
  UniqueModule module(LoadLibraryW(library.c_str()));
  ASSERT_TRUE(module) << GetLastError();
  using Add = DWORD(WINAPI*)(const wchar_t*, const wchar_t*, BOOLEAN);
  using Remove = DWORD(WINAPI*)(const wchar_t*);
  using Uninstall = DWORD(WINAPI*)(const wchar_t*, BOOLEAN*);
  using UninstallAll = DWORD(WINAPI*)(BOOLEAN*);
  const auto add = reinterpret_cast<Add>(GetProcAddress(module.get(), "CatalogAdd"));
  const auto remove = reinterpret_cast<Remove>(GetProcAddress(module.get(), "CatalogRemove"));
  const auto uninstall = reinterpret_cast<Uninstall>(GetProcAddress(module.get(), "CatalogUninstall"));
  const auto uninstallAll = reinterpret_cast<UninstallAll>(GetProcAddress(module.get(), "CatalogUninstallAll"));
  ASSERT_TRUE(add && remove && uninstall && uninstallAll);

  const std::wstring inf = folder / L"comp.inf";
  ASSERT_TRUE(test::WriteWholeFile(inf, ""));
  EXPECT_EQ(0u, add(L"comp", inf.c_str(), 1));
  EXPECT_EQ(kByteOrderMark + Utf16(WithCrLf(L"[Catalog]\ncomp=comp\n[comp]\nINF=" + inf + L"\nRemoveDIR=Yes\n")),
            ReadWholeFile(folder / L"kesi.cat"));
  BOOLEAN reboot = 7;
  EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), uninstall(L"comp", &reboot));
  EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), uninstallAll(&reboot));
  EXPECT_EQ(7, reboot);
  EXPECT_EQ(0u, remove(inf.c_str()));
  EXPECT_EQ(kByteOrderMark + Utf16(L"[Catalog]\r\n"), ReadWholeFile(folder / L"kesi.cat"));

  // The install engine's three entries, by their plain names, with byte flags.
  using InstallFull = DWORD(WINAPI*)(const wchar_t*, const wchar_t*, const wchar_t*, const wchar_t*, const wchar_t*,
                                     BOOLEAN);
  using InstallVer = DWORD(WINAPI*)(const wchar_t*, const wchar_t*, const wchar_t*);
  using UninstallOne = DWORD(WINAPI*)(const wchar_t*, BOOLEAN, BOOLEAN*);
  const auto installFull = reinterpret_cast<InstallFull>(GetProcAddress(module.get(), "InstallComponent"));
  const auto installVer = reinterpret_cast<InstallVer>(GetProcAddress(module.get(), "InstallComponentVer"));
  const auto uninstallOne = reinterpret_cast<UninstallOne>(GetProcAddress(module.get(), "UninstallComponent"));
  ASSERT_TRUE(installFull && installVer && uninstallOne);
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), installFull(L"u", L"f", L"", L"1", L"null:C:\\x", 0));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), installVer(L"u", nullptr, L"null:C:\\x"));
  EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), uninstallOne(inf.c_str(), 0, &reboot));
  EXPECT_EQ(7, reboot);
}

}  // namespace
}  // namespace kesi::install
