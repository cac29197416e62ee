// The session-terminated notice: its text in each language the user's locale may ask for (ctest runs the
// text case once per locale, with LC_ALL set), and the real message box, answered from a watchdog.
#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>

#include "ControlsSystem.h"
#include "DialogAnswer.h"
#include "SessionNotice.h"
#include "TestText.h"

namespace kesi::controls {
namespace {

using test::Narrow;

const wchar_t kEnglish[] =
    L"Your Session has been Terminated because of a change in your system status. Please contact the administrator "
    L"for more information";
const wchar_t kChineseSimplified[] = L"由于您的系统状态发生变化，您的会话已终止。有关详细信息，请与管理员联系。";
const wchar_t kChineseTraditional[] = L"由於您的系統狀態發生變更，您的工作階段已終止。如需詳細資訊，請連絡系統管理員。";

struct Case {
  const char* locale;  // LC_ALL, as the ctest case sets it
  const wchar_t* language;
  const wchar_t* text;
};
const Case kCases[] = {
    {"C", L"0409", kEnglish},
    {"ja_JP.UTF-8", L"0411",
     L"システムの状態が変更されたため、セッションは終了しました。詳細については、管理者にお問い合わせください。"},
    {"ko_KR.UTF-8", L"0412", L"시스템 상태가 변경되어 세션이 종료되었습니다. 자세한 내용은 관리자에게 문의하십시오."},
    {"zh_CN.UTF-8", L"0804", kChineseSimplified},
    {"zh_SG.UTF-8", L"1004", kChineseSimplified},
    {"zh_TW.UTF-8", L"0404", kChineseTraditional},
    {"zh_HK.UTF-8", L"0c04", kChineseTraditional},
    {"zh_MO.UTF-8", L"1404", kChineseTraditional},
    {"pt_BR.UTF-8", L"0416",
     L"Sua sessão foi encerrada devido a uma alteração no status do seu sistema. Entre em contato com o "
     L"administrador para obter mais informações."},
    {"fr_FR.UTF-8", L"040c", kEnglish},
};

struct Shown {
  int count = 0;
  HWND owner = nullptr;
  std::wstring text;
  std::wstring caption;
  UINT type = 0;
} g_shown;

int WINAPI RecordPrompt(HWND owner, const wchar_t* text, const wchar_t* caption, UINT type) {
  ++g_shown.count;
  g_shown.owner = owner;
  g_shown.text = text ? text : L"<null>";
  g_shown.caption = caption ? caption : L"<null>";
  g_shown.type = type;
  return IDOK;
}

class SessionNotice : public ::testing::Test {
 protected:
  void SetUp() override { g_shown = Shown(); }
  void TearDown() override { SetControlsSystem(DefaultControlsSystem()); }
};

TEST_F(SessionNotice, TextOfTheUserLanguage) {
  char locale[64] = {};
  GetEnvironmentVariableA("LC_ALL", locale, sizeof locale);
  const Case* expected = nullptr;
  for (const Case& c : kCases) {
    if (strcmp(c.locale, locale) == 0) expected = &c;
  }
  ASSERT_NE(nullptr, expected) << "LC_ALL \"" << locale << "\" has no case here; ctest sets it per case";
  wchar_t language[40] = {};
  ASSERT_NE(0, GetLocaleInfoW(LOCALE_USER_DEFAULT, LOCALE_ILANGUAGE, language, 40));
  ASSERT_EQ(0, _wcsicmp(expected->language, language)) << locale << " gave the language " << Narrow(language);

  ControlsSystem system = DefaultControlsSystem();
  system.prompt = RecordPrompt;
  SetControlsSystem(system);
  EXPECT_EQ(IDOK, ShowSessionNotice());
  EXPECT_EQ(1, g_shown.count);
  EXPECT_EQ(expected->text, g_shown.text) << locale;
  EXPECT_EQ(L"VPN Connection Status", g_shown.caption);
  EXPECT_EQ(static_cast<UINT>(MB_OK | MB_SERVICE_NOTIFICATION), g_shown.type);
  EXPECT_EQ(nullptr, g_shown.owner);
}

// The default prompt is the system's message box: title, text and a lone OK button, as the user sees it.
// (Wine shows no trace of the service-notification flag on the box; the text case sees the flags.)
TEST_F(SessionNotice, RealMessageBoxAnsweredByOk) {
  kesi::test::DialogSeen seen;
  std::thread watchdog([&seen] { kesi::test::AnswerDialog(L"VPN Connection Status", IDOK, 10000, &seen); });
  const int answer = ShowSessionNotice();
  watchdog.join();
  ASSERT_TRUE(seen.found) << "no box titled \"VPN Connection Status\" within 10 s";
  EXPECT_EQ(IDOK, answer);
  EXPECT_EQ(kEnglish, seen.text);
  EXPECT_TRUE(seen.Shows(IDOK));
  for (int id : {IDCANCEL, IDABORT, IDRETRY, IDIGNORE, IDYES, IDNO}) EXPECT_FALSE(seen.Shows(id)) << id;
}

}  // namespace
}  // namespace kesi::controls
