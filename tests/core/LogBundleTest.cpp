// The log bundle under Wine: the logs of one folder joined in order, plain logs copied and headers and the
// wide MSI log ciphered, in a temporary folder of each case's own.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "LogBundle.h"
#include "TestCipher.h"
#include "TestFiles.h"
#include "TestLogFile.h"

namespace {

using kesi::test::CipherText;
using kesi::test::PathExists;
using kesi::test::ReadWholeFile;
using kesi::test::WriteWholeFile;

// The bytes of wide text as a file holds them.
std::string WideBytes(const std::wstring& text) {
  return std::string(reinterpret_cast<const char*>(text.data()), text.size() * sizeof(wchar_t));
}

class LogBundleTest : public ::testing::Test {
 protected:
  LogBundleTest() : folder_((L"bundle-" + kesi::test::CurrentTestName()).c_str()) {}
  void SetUp() override { ASSERT_TRUE(folder_.Created()); }
  std::wstring Path(const wchar_t* name) const { return folder_ / name; }

  kesi::test::TempFolder folder_;
};

TEST_F(LogBundleTest, BundleJoinsTheLogsInOrder) {
  const std::string init = "init line one\r\ninit line two\r\n";
  const std::string provisioner = CipherText("provisioner\r\n") + "\n";
  const std::string interrogator = CipherText("interrogator a\r\n") + "\n" + CipherText("interrogator b\r\n") + "\n";
  // The MSI log is wide text with a byte-order mark; 3,000 characters make two 4,096-byte blocks.
  std::wstring install = L"\xFEFF";
  for (int i = 0; install.size() < 3000; ++i) install += L"MSI (s) line " + std::to_wstring(i) + L"\r\n";
  install.resize(3000);
  const std::string installAnsi(install.begin() + 1, install.end());
  const std::string blocks[] = {installAnsi.substr(0, 2047), installAnsi.substr(2047)};

  const std::string h1 = CipherText("\r\n\r\n*** Provision log contents follow ***\r\n\r\n") + "\n";
  const std::string h2 = CipherText("\r\n\r\n*** Interrogator log contents follow ***\r\n\r\n") + "\n";
  const std::string h3 = CipherText("\r\n\r\n*** MSI log contents follow ***\r\n\r\n") + "\n";

  // The logs present beside the interrogator's.
  enum Present : unsigned { kInterrogatorOnly = 0, kInit = 1, kProvisioner = 2, kInstall = 4 };
  struct Case {
    const char* what;
    unsigned present;
    std::string expected;
  } cases[] = {
      {"every log", kInit | kProvisioner | kInstall,
       init + h1 + provisioner + h2 + interrogator + h3 + CipherText(blocks[0]) + "\n" + CipherText(blocks[1]) + "\n"},
      {"interrogator log only", kInterrogatorOnly, h1 + h2 + interrogator + h3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_TRUE(WriteWholeFile(Path(L"kesiBootstrapper.log"), "stale bundle"));
    if (c.present & kInit) {
      ASSERT_TRUE(WriteWholeFile(Path(L"kesiInit.log"), init));
    }
    if (c.present & kProvisioner) {
      ASSERT_TRUE(WriteWholeFile(Path(L"kesiProvisioner.log"), provisioner));
    }
    ASSERT_TRUE(WriteWholeFile(Path(L"KESInterrogator.log"), interrogator));
    if (c.present & kInstall) {
      ASSERT_TRUE(WriteWholeFile(Path(L"kesiInstall.log"), WideBytes(install)));
    }

    wchar_t bundle[MAX_PATH] = {};
    ASSERT_EQ(0u, kesi::BuildLogBundle(folder_.Path().c_str(), bundle));
    EXPECT_EQ(Path(L"kesiBootstrapper.log"), bundle);
    const std::string data = ReadWholeFile(bundle);
    EXPECT_EQ(c.expected, data);
    // The MSI log has gone into the bundle; the others stay.
    EXPECT_FALSE(PathExists(Path(L"kesiInstall.log")));
    EXPECT_TRUE(PathExists(Path(L"KESInterrogator.log")));
    for (const wchar_t* name : {L"kesiInit.log", L"kesiProvisioner.log", L"KESInterrogator.log"})
      DeleteFileW(Path(name).c_str());
  }
}

TEST_F(LogBundleTest, AppendCipheredLogAddsToTheEndAndReportsMissingFiles) {
  const std::wstring bundle = Path(L"bundle.log");
  ASSERT_TRUE(WriteWholeFile(bundle, "head\n"));
  const std::wstring install = Path(L"install.log");
  const std::wstring text = L"short MSI log\r\n";
  ASSERT_TRUE(WriteWholeFile(install, WideBytes(text)));
  ASSERT_EQ(0u, kesi::AppendCipheredLog(bundle.c_str(), install.c_str()));
  EXPECT_EQ("head\n" + CipherText("short MSI log\r\n") + "\n", ReadWholeFile(bundle));
  EXPECT_TRUE(PathExists(install));  // only the bundle removes the MSI log
  EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), kesi::AppendCipheredLog(bundle.c_str(), Path(L"none").c_str()));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), kesi::AppendCipheredLog(nullptr, install.c_str()));
}

}  // namespace
