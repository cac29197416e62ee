// kesianswer.exe against a real message box of this process: what it prints, the button it presses, and
// its exit codes when no box comes and on bad arguments.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "DialogAnswer.h"
#include "Handles.h"
#include "TestFiles.h"
#include "TestProcess.h"

namespace kesi::test {
namespace {

struct AnswerRun {
  DWORD exitCode = 0xFFFFFFFF;
  std::string output;
};

// Runs kesianswer.exe with arguments; its exit code and standard output.
AnswerRun RunAnswer(const std::wstring& arguments) {
  AnswerRun run;
  SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
  HANDLE readEnd = nullptr, writeEnd = nullptr;
  if (!CreatePipe(&readEnd, &writeEnd, &inherit, 0)) return run;
  UniqueHandle reader(readEnd), writer(writeEnd);
  SetHandleInformation(reader.get(), HANDLE_FLAG_INHERIT, 0);
  const std::wstring program = FixturePath(L"answerbox\\kesianswer.exe");
  std::wstring line = L"\"" + program + L"\" " + arguments;
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput = writer.get();
  startup.hStdError = writer.get();
  PROCESS_INFORMATION info = {};
  if (!CreateProcessW(program.c_str(), &line[0], nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr, nullptr, &startup,
                      &info))
    return run;
  UniqueHandle process(info.hProcess), thread(info.hThread);
  writer.reset();
  char block[512];
  DWORD got = 0;
  while (ReadFile(reader.get(), block, sizeof block, &got, nullptr) && got) run.output.append(block, got);
  if (WaitForSingleObject(process.get(), 60000) == WAIT_OBJECT_0) GetExitCodeProcess(process.get(), &run.exitCode);
  return run;
}

TEST(AnswerStandIn, PrintsTheMessageAndPressesTheNamedButton) {
  const std::wstring title = L"kesianswer test " + std::to_wstring(GetCurrentProcessId());
  const struct {
    const char* button;
    UINT type;
    int pressed;
    bool titleWithLineEnd;  // the uninstaller's captions end with CR LF
  } kCases[] = {
      {"yes", MB_YESNO, IDYES, true},
      {"no", MB_YESNO, IDNO, false},
      {"ok", MB_OK, IDOK, false},
      {"cancel", MB_OKCANCEL, IDCANCEL, true},
  };
  for (const auto& c : kCases) {
    std::atomic<int> answer{0};
    const std::wstring caption = c.titleWithLineEnd ? title + L"\r\n" : title;
    std::thread box([&] { answer = MessageBoxW(nullptr, L"Remove it?\r\nAll of it.\r\n", caption.c_str(), c.type); });
    const AnswerRun run = RunAnswer(L"\"" + title + L"\" " + Widen(c.button) + L" 20");
    // A box the program left up would block for ever: close it before judging.
    const bool closed = WaitUntil([&] { return answer != 0; }, 5000);
    DialogSeen leftOver;
    if (!closed) AnswerDialog(title, IDCANCEL, 5000, &leftOver);
    box.join();
    EXPECT_EQ(0u, run.exitCode) << c.button;
    EXPECT_EQ(Narrow(title) + ": Remove it? All of it.\n", run.output) << c.button;
    EXPECT_TRUE(closed) << c.button << ": the box was still up";
    EXPECT_EQ(c.pressed, answer) << c.button;
  }
}

TEST(AnswerStandIn, ExitCodes) {
  const struct {
    const wchar_t* arguments;
    DWORD exitCode;
  } kCases[] = {
      {L"\"kesianswer nobody asks\" yes 1", 1},
      {L"", 2},
      {L"\"Some title\"", 2},
      {L"\"Some title\" maybe", 2},
      {L"\"Some title\" yes 0", 2},
      {L"\"Some title\" yes 5s", 2},
      {L"\"Some title\" yes 5 extra", 2},
  };
  for (const auto& c : kCases) EXPECT_EQ(c.exitCode, RunAnswer(c.arguments).exitCode) << Narrow(c.arguments);
}

}  // namespace
}  // namespace kesi::test
