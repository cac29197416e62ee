// The run: one instance, the question in the user's language (texts from the program's own table), the
// walk over the list with the library's product last, and the real program answered from a watchdog.
#include <atomic>
#include <cstring>
#include <thread>

#include "DialogAnswer.h"
#include "UninstallTestSupport.h"

namespace kesi::uninstall::test {
namespace {

using kesi::test::AnswerDialog;
using kesi::test::DialogSeen;

const wchar_t kEnglishQuestion[] = L"Are you sure you want to remove Velmora Access Manager from your computer?\r\n";
const wchar_t kEnglishCaption[] = L"Add or Remove Programs\r\n";
const wchar_t kJapaneseQuestion[] = L"Velmora Access Manager をコンピュータから削除してもよろしいですか?\r\n";
const wchar_t kJapaneseCaption[] = L"プログラムの追加または削除\r\n";
const wchar_t kKoreanQuestion[] = L"컴퓨터에서 Velmora Access Manager를 제거하시겠습니까?\r\n";
const wchar_t kKoreanCaption[] = L"프로그램 추가 또는 제거\r\n";
const wchar_t kPortugueseQuestion[] =
    L"Tem certeza de que deseja remover o Velmora Access Manager de seu computador?\r\n";
const wchar_t kPortugueseCaption[] = L"Adicionar ou Remover Programas\r\n";

struct Texts {
  const wchar_t* question;
  const wchar_t* caption;
};
const Texts kEnglish{kEnglishQuestion, kEnglishCaption};

using UninstallQuestion = UninstallTest;
using UninstallWalk = UninstallTest;
using UninstallProducts = UninstallTest;
using UninstallProgram = UninstallTest;

// The program's table, language by language, compared as UTF-16; a language it lacks reads English.
TEST_F(UninstallQuestion, TextsOfEachLanguage) {
  const struct {
    LANGID language;
    Texts texts;
  } cases[] = {
      {0x0409, kEnglish},
      {0x0411, {kJapaneseQuestion, kJapaneseCaption}},
      {0x0412, {kKoreanQuestion, kKoreanCaption}},
      {0x0416, {kPortugueseQuestion, kPortugueseCaption}},
      {0x0407, kEnglish},  // German
      {0x0816, kEnglish},  // Portuguese of Portugal
      {0x0809, kEnglish},  // English of the United Kingdom
  };
  for (const auto& c : cases) {
    std::wstring text, caption;
    ASSERT_EQ(0u, LoadQuestion(UninstallerMessages(), c.language, &text, &caption)) << std::hex << c.language;
    EXPECT_EQ(c.texts.question, text) << std::hex << c.language;
    EXPECT_EQ(c.texts.caption, caption) << std::hex << c.language;
  }
}

// The run asks in the user's default language (ctest sets LC_ALL per case).
TEST_F(UninstallQuestion, AskedInTheUserLanguage) {
  char locale[64] = {};
  GetEnvironmentVariableA("LC_ALL", locale, sizeof locale);
  const struct {
    const char* locale;
    Texts texts;
  } cases[] = {
      {"C", kEnglish},
      {"de_DE.UTF-8", kEnglish},
      {"ja_JP.UTF-8", {kJapaneseQuestion, kJapaneseCaption}},
      {"ko_KR.UTF-8", {kKoreanQuestion, kKoreanCaption}},
      {"pt_BR.UTF-8", {kPortugueseQuestion, kPortugueseCaption}},
      {"pt_PT.UTF-8", kEnglish},
  };
  const Texts* expected = nullptr;
  for (const auto& c : cases) {
    if (strcmp(c.locale, locale) == 0) expected = &c.texts;
  }
  ASSERT_NE(nullptr, expected) << "LC_ALL \"" << locale << "\" has no case here; ctest sets it per case";
  g_question.answer = IDNO;
  RunUninstaller(UninstallerMessages());
  EXPECT_EQ(1, g_question.count);
  EXPECT_EQ(expected->question, g_question.text) << locale;
  EXPECT_EQ(expected->caption, g_question.caption) << locale;
  EXPECT_EQ(static_cast<UINT>(MB_YESNO | MB_ICONQUESTION), g_question.type);
}

// Another run holds the event: this one neither asks nor removes. A run closes its event when it ends.
TEST_F(UninstallQuestion, SecondInstanceLeaves) {
  ASSERT_TRUE(WriteList(HKEY_LOCAL_MACHINE, {{L"Alpha", kAlpha}}));
  {
    UniqueHandle other(CreateEventW(nullptr, TRUE, FALSE, kSingleInstanceEvent));
    ASSERT_TRUE(other);
    RunUninstaller(UninstallerMessages());
    EXPECT_EQ(0, g_question.count);
    EXPECT_TRUE(g_msi.attempts.empty());
  }
  RunUninstaller(UninstallerMessages());
  EXPECT_EQ(1, g_question.count);
  EXPECT_EQ(1u, g_msi.attempts.size());
  UniqueHandle after(CreateEventW(nullptr, TRUE, FALSE, kSingleInstanceEvent));
  EXPECT_NE(static_cast<DWORD>(ERROR_ALREADY_EXISTS), GetLastError()) << "the run left its event open";
}

// Only Yes removes anything.
TEST_F(UninstallQuestion, OnlyYesRemoves) {
  ASSERT_TRUE(WriteList(HKEY_LOCAL_MACHINE, {{L"Alpha", kAlpha}, {L"KESI", kLibrary}}));
  for (int answer : {IDNO, IDCANCEL, 0}) {
    g_question.answer = answer;
    RunUninstaller(UninstallerMessages());
    EXPECT_TRUE(g_msi.attempts.empty()) << "answer " << answer;
  }
}

// What each first removal's results make of the walk: 0 goes on; 3010 ends it (and is told); any other
// result is tried once more with the basic interface. The library's product comes last, directly with the
// basic interface. A product that is not installed is passed over.
TEST_F(UninstallWalk, ResultsOfTheFirstRemoval) {
  ASSERT_TRUE(WriteList(HKEY_LOCAL_MACHINE, {{L"Alpha", kAlpha}, {L"KESI", kLibrary}, {L"Bravo", kBravo}}));
  std::vector<std::wstring> order;
  for (const std::wstring& name : EnumerationOrder(HKEY_LOCAL_MACHINE)) {
    if (name == L"Alpha") order.push_back(kAlpha);
    if (name == L"Bravo") order.push_back(kBravo);
  }
  ASSERT_EQ(2u, order.size());
  const std::wstring first = order[0], second = order[1];
  const INSTALLUILEVEL none = INSTALLUILEVEL_NONE, basic = INSTALLUILEVEL_BASIC;
  struct Step {
    std::wstring product;
    INSTALLUILEVEL level;
  };
  const struct {
    const char* what;
    std::vector<UINT> results;  // of the first product's attempts
    bool installed;
    std::vector<Step> steps;
    bool traced;
  } cases[] = {
      {"0", {0}, true, {{first, none}, {second, none}, {kLibrary, basic}}, false},
      {"3010", {3010}, true, {{first, none}}, true},
      {"1603 then 0", {1603, 0}, true, {{first, none}, {first, basic}, {second, none}, {kLibrary, basic}}, false},
      {"1603 twice", {1603, 1603}, true, {{first, none}, {first, basic}}, true},
      {"1605 then 3010", {1605, 3010}, true, {{first, none}, {first, basic}}, true},
      {"not installed", {}, false, {{second, none}, {kLibrary, basic}}, false},
  };
  for (const auto& c : cases) {
    g_msi.attempts.clear();
    g_msi.results.clear();
    g_msi.states.clear();
    g_traces.clear();
    g_msi.results[first] = c.results;
    if (!c.installed) g_msi.states[first] = INSTALLSTATE_ABSENT;
    RunUninstaller(UninstallerMessages());
    ASSERT_EQ(c.steps.size(), g_msi.attempts.size()) << c.what;
    for (size_t i = 0; i < c.steps.size(); ++i) {
      const Attempt& a = g_msi.attempts[i];
      EXPECT_EQ(c.steps[i].product, a.product) << c.what << ", attempt " << i;
      EXPECT_EQ(c.steps[i].level, a.level) << c.what << ", attempt " << i;
      EXPECT_TRUE(a.logOff) << c.what << ", attempt " << i;
      EXPECT_EQ(INSTALLLEVEL_MAXIMUM, a.installLevel) << c.what;
      EXPECT_EQ(INSTALLSTATE_ABSENT, a.state) << c.what;
      EXPECT_EQ(L"REMOVE=ALL ", a.commandLine) << c.what;
    }
    EXPECT_EQ(c.traced, !g_traces.empty()) << c.what;
    if (c.traced && !g_traces.empty()) {
      EXPECT_NE(std::wstring::npos, g_traces.back().find(std::to_wstring(c.results.back()))) << Narrow(g_traces.back());
    }
  }
}

// Two products and the library's, installed with msiexec, removed for real in the list's order with the
// library's last, whatever its place in the list.
TEST_F(UninstallProducts, RemovedInOrderLibraryLast) {
  for (const wchar_t* product : {kAlpha, kBravo, kLibrary}) RemoveProductIfInstalled(product);
  for (const wchar_t* name : {L"alpha", L"bravo", L"library"}) ASSERT_EQ(0u, InstallWithMsiexec(name)) << Narrow(name);
  for (const wchar_t* product : {kAlpha, kBravo, kLibrary}) ASSERT_TRUE(IsProductInstalled(product)) << Narrow(product);
  ASSERT_TRUE(WriteList(HKEY_LOCAL_MACHINE, {{L"Alpha", kAlpha}, {L"kesi", kLibrary}, {L"Zulu", kBravo}}));
  std::vector<std::wstring> expected;
  for (const std::wstring& name : EnumerationOrder(HKEY_LOCAL_MACHINE)) {
    if (name == L"Alpha") expected.push_back(kAlpha);
    if (name == L"Zulu") expected.push_back(kBravo);
  }
  expected.push_back(kLibrary);

  g_msi.forward = true;
  RunUninstaller(UninstallerMessages());
  EXPECT_EQ(expected, Attempted());
  for (const wchar_t* product : {kAlpha, kBravo, kLibrary}) EXPECT_FALSE(IsProductInstalled(product)) << Narrow(product);
  for (const wchar_t* product : {kAlpha, kBravo, kLibrary}) RemoveProductIfInstalled(product);
}

// ---- The program itself ---------------------------------------------------------------------------------

// Runs the real program with a watchdog pressing button; its exit code.
DWORD RunProgramAnswering(int button, DialogSeen* seen) {
  std::atomic<bool> stop{false};
  std::thread watchdog([&] { AnswerDialog(L"Add or Remove Programs", button, 30000, seen, &stop); });
  kesi::test::ChildProcess program;
  DWORD code = 0xFFFFFFFF;
  if (program.Start(UninstallerPath())) {
    if (WaitForSingleObject(program.Handle(), 90000) == WAIT_OBJECT_0) GetExitCodeProcess(program.Handle(), &code);
  }
  stop = true;
  watchdog.join();
  return code;
}

TEST_F(UninstallProgram, YesRemoves) {
  RemoveProductIfInstalled(kAlpha);
  ASSERT_EQ(0u, InstallWithMsiexec(L"alpha"));
  ASSERT_TRUE(WriteList(HKEY_LOCAL_MACHINE, {{L"Alpha", kAlpha}}));
  DialogSeen seen;
  EXPECT_EQ(0u, RunProgramAnswering(IDYES, &seen));
  ASSERT_TRUE(seen.found) << "no question box within 30 s";
  EXPECT_EQ(kEnglishQuestion, seen.text);
  EXPECT_TRUE(seen.Shows(IDYES) && seen.Shows(IDNO));
  EXPECT_FALSE(IsProductInstalled(kAlpha));
  RemoveProductIfInstalled(kAlpha);
}

TEST_F(UninstallProgram, NoKeeps) {
  if (!IsProductInstalled(kAlpha)) {
    ASSERT_EQ(0u, InstallWithMsiexec(L"alpha"));
  }
  ASSERT_TRUE(WriteList(HKEY_LOCAL_MACHINE, {{L"Alpha", kAlpha}}));
  DialogSeen seen;
  EXPECT_EQ(0u, RunProgramAnswering(IDNO, &seen));
  ASSERT_TRUE(seen.found) << "no question box within 30 s";
  EXPECT_TRUE(IsProductInstalled(kAlpha));
  RemoveProductIfInstalled(kAlpha);
}

}  // namespace
}  // namespace kesi::uninstall::test
