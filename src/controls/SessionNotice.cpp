#include "SessionNotice.h"

#include <cwchar>

#include "ControlsSystem.h"
#include "Handles.h"

namespace kesi::controls {

namespace {

constexpr wchar_t kEnglish[] =
    L"Your Session has been Terminated because of a change in your system status. Please contact the administrator "
    L"for more information";

// The translations, as UTF-8.
constexpr char kJapanese[] =
    "システムの状態が変更されたため、セッションは終了しました。詳細については、管理者にお問い合わせください。";
constexpr char kKorean[] = "시스템 상태가 변경되어 세션이 종료되었습니다. 자세한 내용은 관리자에게 문의하십시오.";
constexpr char kChineseSimplified[] = "由于您的系统状态发生变化，您的会话已终止。有关详细信息，请与管理员联系。";
constexpr char kChineseTraditional[] = "由於您的系統狀態發生變更，您的工作階段已終止。如需詳細資訊，請連絡系統管理員。";
constexpr char kPortugueseBrazil[] =
    "Sua sessão foi encerrada devido a uma alteração no status do seu sistema. Entre em contato com o administrador "
    "para obter mais informações.";

// Language identifiers in the order they are compared.
struct Translation {
  const wchar_t* language;
  const char* text;
};
constexpr Translation kTranslations[] = {
    {L"0411", kJapanese},           {L"0412", kKorean},
    {L"0804", kChineseSimplified},  {L"1004", kChineseSimplified},
    {L"0404", kChineseTraditional}, {L"0c04", kChineseTraditional},
    {L"1404", kChineseTraditional}, {L"0416", kPortugueseBrazil},
};

constexpr int kLanguageChars = 40;
constexpr int kTextChars = 1024;

// The notice for the user's default language into text (kTextChars characters).
void NoticeText(wchar_t* text) {
  wcscpy(text, kEnglish);
  wchar_t language[kLanguageChars] = {};
  if (!GetLocaleInfoW(LOCALE_USER_DEFAULT, LOCALE_ILANGUAGE, language, kLanguageChars)) return;
  for (const Translation& t : kTranslations) {
    // The system may answer "0C04" as well as "0c04".
    if (CompareStringW(LOCALE_INVARIANT, NORM_IGNORECASE, language, -1, t.language, -1) != CSTR_EQUAL) continue;
    if (!MultiByteToWideChar(CP_UTF8, 0, t.text, -1, text, kTextChars)) wcscpy(text, kEnglish);
    return;
  }
}

}  // namespace

int ShowSessionNotice() {
  wchar_t text[kTextChars];
  NoticeText(text);
  wchar_t* formatted = nullptr;
  if (!FormatMessageW(FORMAT_MESSAGE_FROM_STRING | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ALLOCATE_BUFFER,
                      text, 0, 0, reinterpret_cast<wchar_t*>(&formatted), 0, nullptr) ||
      !formatted)
    return 0;
  UniqueLocal owner(formatted);
  return CurrentControlsSystem().prompt(nullptr, formatted, kSessionNoticeTitle, kSessionNoticeStyle);
}

}  // namespace kesi::controls
