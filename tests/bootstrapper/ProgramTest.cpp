// kesiMsiBootstraper.exe as the user starts it: on Wine's prefix UAC reads as off and no Java runtime is
// installed, so the program asks through the real message box, which a watchdog answers.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "BootstrapSupport.h"
#include "DialogAnswer.h"
#include "TestProcess.h"

namespace kesi::bootstrap::test {
namespace {

using kesi::test::AnswerDialog;
using kesi::test::DialogSeen;

TEST(BootstrapProgram, AsksAboutJavaAndEndsWithoutInstalling) {
  DeleteFileW(InitLogPath().c_str());
  ASSERT_FALSE(ProductInstalled());
  const std::wstring program = BuildTestsFolder() + L"..\\src\\bootstrapper\\kesiMsiBootstraper.exe";
  wchar_t temp[MAX_PATH];
  GetTempPathW(MAX_PATH, temp);
  const std::wstring folder = std::wstring(temp) + L"kesi-bootstrap-program-" + std::to_wstring(GetCurrentProcessId());
  CreateDirectoryW(folder.c_str(), nullptr);
  ASSERT_TRUE(CopyFileW(PackagePath(L"kesi-signed.msi").c_str(), (folder + L"\\kesi.msi").c_str(), FALSE));

  std::wstring line = L"\"" + program + L"\" fromtest";
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info = {};
  ASSERT_TRUE(CreateProcessW(program.c_str(), &line[0], nullptr, nullptr, FALSE, 0, nullptr, folder.c_str(), &startup,
                             &info))
      << GetLastError();
  UniqueHandle process(info.hProcess);
  UniqueHandle thread(info.hThread);

  // The box is the program's question; pressing OK lets it go on.
  DialogSeen seen;
  EXPECT_TRUE(AnswerDialog(L"ERROR", IDOK, 30000, &seen)) << "no box titled \"ERROR\" within 30 s";
  const DWORD waited = WaitForSingleObject(process.get(), 30000);
  if (waited != WAIT_OBJECT_0) TerminateProcess(process.get(), 1);
  ASSERT_EQ(waited, static_cast<DWORD>(WAIT_OBJECT_0));
  DWORD exitCode = 0;
  GetExitCodeProcess(process.get(), &exitCode);
  EXPECT_EQ(exitCode, 1u);
  EXPECT_EQ(seen.text, L"UAC is turned off and Sun Java plugin is disabled or Sun Java 1.6 or higher is not installed. "
                       L"Please contact your aministrator");
  EXPECT_FALSE(ProductInstalled());
  const std::string log = InitLog();
  EXPECT_NE(log.find("BOOTSTRAPPER: Command line initiated"), std::string::npos) << log;
  EXPECT_NE(log.find("OS is Vista and UAC is turned off"), std::string::npos) << log;
  EXPECT_EQ(log.find("installPackage"), std::string::npos) << log;
  RemoveTree(folder);
}

}  // namespace
}  // namespace kesi::bootstrap::test
