// The log writer under Wine: line format, levels, options (the low-disk one through the free-space seam),
// rotation and its failure, the cross-process mutex, the console, the cipher, and numbered messages from
// the message table. Every case works in its own temporary folder; the user's log folder is covered by
// core_logfolder_tests, the bundle by LogBundleTest.cpp.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#include "LogFile.h"
#include "TestCipher.h"
#include "TestFiles.h"
#include "TestLogFile.h"
#include "messages.h"

using namespace kesi;

namespace {

using kesi::LogFile;
using kesi::test::DecipherText;
using kesi::test::Lines;
using kesi::test::LogEntries;
using kesi::test::LogMessage;
using kesi::test::ReadWholeFile;
using kesi::test::WriteWholeFile;

class LogFileTest : public ::testing::Test {
 protected:
  LogFileTest() : folder_((L"log-" + kesi::test::CurrentTestName()).c_str()) {}
  void SetUp() override { ASSERT_TRUE(folder_.Created()); }
  std::wstring Path(const wchar_t* name) const { return folder_ / name; }

  kesi::test::TempFolder folder_;
};

// Writes numbered lines until the file at path holds at least bytes. A log that stops growing fails after
// 1,000 lines instead of looping for ever.
::testing::AssertionResult FillTo(LogFile& log, const std::wstring& path, size_t bytes) {
  for (int n = 0; n < 1000; ++n) {
    if (ReadWholeFile(path).size() >= bytes) return ::testing::AssertionSuccess();
    if (DWORD error = log.Printf(kesi::kLogInfo, L"line %d", n))
      return ::testing::AssertionFailure() << "line " << n << " gave " << error;
  }
  return ::testing::AssertionFailure() << "1,000 lines and the log holds " << ReadWholeFile(path).size()
                                       << " of " << bytes << " bytes";
}

TEST_F(LogFileTest, LineShapeAndLevelTags) {
  const std::wstring path = Path(L"shape.log");
  LogFile log;
  ASSERT_EQ(0u, log.Open(path.c_str(), 0, nullptr));
  EXPECT_EQ(path, log.Path());
  EXPECT_EQ(static_cast<DWORD>(FILE_TYPE_DISK), log.FileType());
  // "%s" takes a wide string, as everywhere in the system's wide formats.
  EXPECT_EQ(0u, kesi::LogInfo(&log, L"%s|%d|%08x", L"wide", -42, 0xBEEFu));
  EXPECT_EQ(0u, kesi::LogError(&log, L"error %lu", 5ul));
  EXPECT_EQ(0u, log.Printf(kesi::kLogWarning, L"warning"));
  EXPECT_EQ(0u, log.Printf(kesi::kLogFatal, L"fatal"));
  // Without an argument list the text is taken as it stands, percent signs and all.
  EXPECT_EQ(0u, log.Print(kesi::kLogInfo, L"100% %s", nullptr));
  log.Close();

  const std::vector<std::string> lines = Lines(ReadWholeFile(path));
  const struct {
    char tag;
    const char* message;
  } expected[] = {{'I', "wide|-42|0000beef\r\n"}, {'E', "error 5\r\n"}, {'W', "warning\r\n"},
                  {'F', "fatal\r\n"},          {'I', "100% %s\r\n"}};
  ASSERT_EQ(std::size(expected), lines.size()) << ReadWholeFile(path);
  for (size_t i = 0; i < lines.size(); ++i) {
    SCOPED_TRACE(lines[i]);
    char tag = 0;
    EXPECT_EQ(expected[i].message, LogMessage(lines[i], &tag));
    EXPECT_EQ(expected[i].tag, tag);
  }
}

TEST_F(LogFileTest, ThresholdDropsLowerLevels) {
  struct Case {
    int threshold;  // -1: the default
    const char* written;
  } cases[] = {{-1, "IWEF"}, {0, "DIWEF"}, {3, "EF"}, {5, ""}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.threshold);
    const std::wstring path = Path(L"levels.log");
    DeleteFileW(path.c_str());
    LogFile log;
    if (c.threshold >= 0) log.SetThreshold(c.threshold);
    ASSERT_EQ(0u, log.Open(path.c_str(), 0, nullptr));
    for (int level = 0; level <= 4; ++level) EXPECT_EQ(0u, log.Printf(level, L"level %d", level));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), log.Printf(5, L"level 5"));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), log.Printf(-1, L"level -1"));
    log.Close();

    std::string tags;
    bool closedLine = false;
    for (const std::string& line : Lines(ReadWholeFile(path))) {
      char tag = 0;
      std::string message = LogMessage(line, &tag);
      if (message.rfind("Log file closed, pid ", 0) == 0) {
        char pid[16];
        snprintf(pid, sizeof pid, "%08lx\r\n", GetCurrentProcessId());
        EXPECT_EQ(std::string("Log file closed, pid ") + pid, message);
        closedLine = true;
        continue;
      }
      // A line without a level tag is a fault of its own, never an index into the tag list.
      const size_t level = std::string("DIWEF").find(tag);
      if (tag == 0 || level == std::string::npos) {
        ADD_FAILURE() << "no level tag: " << line;
        continue;
      }
      tags += tag;
      EXPECT_EQ("level " + std::to_string(level) + "\r\n", message);
    }
    EXPECT_EQ(c.written, tags);
    // The closing line is a debug line: only a threshold of 0 lets it through.
    EXPECT_EQ(c.threshold == 0, closedLine);
  }
}

TEST_F(LogFileTest, RefusalsAndClosedLog) {
  LogFile log;
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), log.Open(nullptr, 0, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), log.Open(L"", 0, nullptr));
  const std::wstring longPath = folder_ / std::wstring(MAX_PATH, L'x');
  EXPECT_EQ(static_cast<DWORD>(ERROR_FILENAME_EXCED_RANGE), log.Open(longPath.c_str(), 0, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_PATH_NOT_FOUND), log.Open(Path(L"no\\such.log").c_str(), 0, nullptr));

  // A closed log writes nothing and says so; it is never an exception or a crash.
  EXPECT_FALSE(log.IsOpen());
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), kesi::LogInfo(&log, L"nothing"));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), log.Truncate());
  EXPECT_EQ(static_cast<DWORD>(ERROR_NOT_SUPPORTED), log.Rotate());
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), kesi::LogInfo(nullptr, L"x"));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), kesi::LogMsgInfo(nullptr, MSG_ENTER_RUN));

  const std::wstring path = Path(L"twice.log");
  ASSERT_EQ(0u, log.Open(path.c_str(), kesi::kLogWriteThrough, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_STATE), log.Open(path.c_str(), 0, nullptr));
  EXPECT_EQ(path, log.Path());
  log.Close();
  EXPECT_STREQ(L"", log.Path());
  EXPECT_EQ(0u, log.Options());
  // A log may be opened again after closing.
  ASSERT_EQ(0u, log.Open(path.c_str(), 0, nullptr));
  EXPECT_EQ(0u, kesi::LogInfo(&log, L"again"));
  log.Close();
  EXPECT_EQ(1u, Lines(ReadWholeFile(path)).size());
}

TEST_F(LogFileTest, FreshOptionStartsAnEmptyLog) {
  const std::wstring path = Path(L"fresh.log");
  struct Case {
    DWORD options;
    size_t lines;
  } cases[] = {{0, 2}, {kesi::kLogFresh, 1}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.options);
    ASSERT_TRUE(WriteWholeFile(path, "earlier run\r\n"));
    LogFile log;
    ASSERT_EQ(0u, log.Open(path.c_str(), c.options, nullptr));
    kesi::LogInfo(&log, L"this run");
    log.Close();
    std::vector<std::string> lines = Lines(ReadWholeFile(path));
    ASSERT_EQ(c.lines, lines.size());
    EXPECT_EQ("this run\r\n", LogMessage(lines.back()));
  }
}

TEST_F(LogFileTest, FullLogIsCopiedToOldAndRestarted) {
  const std::wstring path = Path(L"rotate.log");
  const std::wstring old = path + L".old";
  ASSERT_TRUE(WriteWholeFile(old, "stale copy\r\n"));
  LogFile log;
  log.SetSizeLimit(300);
  ASSERT_EQ(0u, log.Open(path.c_str(), 0, nullptr));
  // Fill up to the limit: the line that finds the file at or past it starts the new file.
  ASSERT_TRUE(FillTo(log, path, 300));
  const std::string full = ReadWholeFile(path);
  ASSERT_EQ(0u, log.Printf(kesi::kLogInfo, L"after rotation"));

  EXPECT_EQ(full, ReadWholeFile(old));
  std::vector<std::string> lines = Lines(ReadWholeFile(path));
  ASSERT_EQ(1u, lines.size());
  EXPECT_EQ("after rotation\r\n", LogMessage(lines[0]));

  // Truncate empties, Rotate replaces the copy with what the file holds now.
  ASSERT_EQ(0u, log.Rotate());
  EXPECT_EQ(lines[0], ReadWholeFile(old));
  ASSERT_EQ(0u, log.Truncate());
  EXPECT_EQ("", ReadWholeFile(path));
  ASSERT_EQ(0u, kesi::LogInfo(&log, L"on an empty file"));
  EXPECT_EQ(1u, Lines(ReadWholeFile(path)).size());
}

// A copy that cannot be made (its place held open by another, or taken by a folder) must not keep a full
// log from starting again: the log is emptied all the same and the line is written.
TEST_F(LogFileTest, FailedRotationStillEmptiesTheLog) {
  enum Blocker { kCopyHeldOpen, kFolderInItsPlace };
  struct Case {
    const char* what;
    Blocker blocker;
  } cases[] = {{"the old copy held open without sharing", kCopyHeldOpen},
               {"a folder in the old copy's place", kFolderInItsPlace}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::wstring path = Path(L"blocked.log");
    const std::wstring old = path + L".old";
    LogFile log;
    log.SetSizeLimit(200);
    ASSERT_EQ(0u, log.Open(path.c_str(), kesi::kLogFresh, nullptr));
    ASSERT_TRUE(FillTo(log, path, 200));

    kesi::UniqueFile held;
    if (c.blocker == kCopyHeldOpen) {
      held.reset(CreateFileW(old.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
      ASSERT_TRUE(held);
    } else {
      ASSERT_TRUE(CreateDirectoryW(old.c_str(), nullptr));
    }
    EXPECT_NE(0u, log.Rotate());  // the copy really fails
    EXPECT_EQ(0u, kesi::LogInfo(&log, L"after the failed copy"));
    log.Close();
    held.reset();

    const std::vector<std::string> lines = Lines(ReadWholeFile(path));
    ASSERT_EQ(1u, lines.size()) << ReadWholeFile(path);
    EXPECT_EQ("after the failed copy\r\n", LogMessage(lines[0]));
    if (c.blocker == kCopyHeldOpen) {
      EXPECT_EQ("", ReadWholeFile(old));
    } else {
      EXPECT_TRUE(kesi::test::IsFolder(old));
    }
    kesi::test::RemoveTree(old);
    DeleteFileW(old.c_str());
  }
}

// The free-space seam's answer, and the folder the log asked about.
struct DiskSpaceAnswer {
  BOOL succeeds = TRUE;
  ULONGLONG available = 0;
  ULONGLONG total = 0;
  std::wstring asked;
};
DiskSpaceAnswer g_diskSpace;

BOOL WINAPI AnswerDiskSpace(LPCWSTR folder, PULARGE_INTEGER available, PULARGE_INTEGER total,
                            PULARGE_INTEGER totalFree) {
  g_diskSpace.asked = folder ? folder : L"<null>";
  if (!g_diskSpace.succeeds) {
    SetLastError(ERROR_NOT_READY);
    return FALSE;
  }
  if (available) available->QuadPart = g_diskSpace.available;
  if (total) total->QuadPart = g_diskSpace.total;
  if (totalFree) totalFree->QuadPart = g_diskSpace.available;
  return TRUE;
}

// Replaces the log's free-space query for the life of the object.
class DiskSpaceSeam {
 public:
  DiskSpaceSeam() : previous_(kesi::SetLogDiskSpaceQuery(&AnswerDiskSpace)) {}
  ~DiskSpaceSeam() { kesi::SetLogDiskSpaceQuery(previous_); }
  DiskSpaceSeam(const DiskSpaceSeam&) = delete;
  DiskSpaceSeam& operator=(const DiskSpaceSeam&) = delete;

 private:
  kesi::LogDiskSpaceFn previous_;
};

// With the low-disk option, a line written while the log's volume has less than 10 % of its space free
// (available to the user, against the total) empties the log first; a failed query counts as enough space.
TEST_F(LogFileTest, LowDiskOptionEmptiesTheLogBelowOneTenthFree) {
  enum Query { kAnswers, kFails };
  enum Outcome { kKept, kEmptied };
  struct Case {
    const char* what;
    DWORD options;
    Query query;
    ULONGLONG available, total;
    Outcome outcome;
  } cases[] = {
      {"9 % free", kesi::kLogEmptyWhenDiskLow, kAnswers, 9, 100, kEmptied},
      {"nothing free", kesi::kLogEmptyWhenDiskLow, kAnswers, 0, 1ull << 40, kEmptied},
      {"exactly 10 % free", kesi::kLogEmptyWhenDiskLow, kAnswers, 10, 100, kKept},
      {"plenty free", kesi::kLogEmptyWhenDiskLow, kAnswers, 1ull << 39, 1ull << 40, kKept},
      {"the query fails", kesi::kLogEmptyWhenDiskLow, kFails, 0, 100, kKept},
      {"a volume of no size", kesi::kLogEmptyWhenDiskLow, kAnswers, 0, 0, kKept},
      {"9 % free without the option", 0, kAnswers, 9, 100, kKept},
  };
  DiskSpaceSeam seam;
  const std::wstring path = Path(L"lowdisk.log");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    g_diskSpace = DiskSpaceAnswer{TRUE, 50, 100, L""};
    LogFile log;
    ASSERT_EQ(0u, log.Open(path.c_str(), c.options | kesi::kLogFresh, nullptr));
    ASSERT_EQ(0u, kesi::LogInfo(&log, L"earlier"));
    g_diskSpace = DiskSpaceAnswer{c.query == kAnswers, c.available, c.total, L""};
    ASSERT_EQ(0u, kesi::LogInfo(&log, L"now"));
    log.Close();

    std::vector<std::string> messages;
    for (const std::string& line : Lines(ReadWholeFile(path))) messages.push_back(LogMessage(line));
    std::vector<std::string> expected = {"earlier\r\n", "now\r\n"};
    if (c.outcome == kEmptied) expected.erase(expected.begin());
    EXPECT_EQ(expected, messages);
    // The volume asked about is the log file's own, by its folder.
    if (c.options) {
      EXPECT_EQ(folder_.Path() + L"\\", g_diskSpace.asked);
    }
  }
}

TEST_F(LogFileTest, MutexIsNamedAfterTheFileIdentity) {
  const std::wstring path = Path(L"identity.log");
  LogFile first, second, other;
  ASSERT_EQ(0u, first.Open(path.c_str(), 0, nullptr));
  // Another spelling of the same file reaches the same mutex.
  const std::wstring alias = folder_.Path() + L"\\.\\IDENTITY.LOG";
  ASSERT_EQ(0u, second.Open(alias.c_str(), 0, nullptr));
  ASSERT_EQ(0u, other.Open(Path(L"other.log").c_str(), 0, nullptr));

  kesi::UniqueFile file(
      CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr));
  ASSERT_TRUE(file);
  BY_HANDLE_FILE_INFORMATION info;
  ASSERT_TRUE(GetFileInformationByHandle(file.get(), &info));
  wchar_t expected[32];
  swprintf(expected, 32, L"%08x%08x%08x", static_cast<unsigned>(info.dwVolumeSerialNumber),
           static_cast<unsigned>(info.nFileIndexHigh), static_cast<unsigned>(info.nFileIndexLow));

  EXPECT_STREQ(expected, first.MutexName());
  EXPECT_STREQ(expected, second.MutexName());
  EXPECT_STRNE(expected, other.MutexName());
  EXPECT_EQ(24u, wcslen(other.MutexName()));
  kesi::UniqueHandle mutex(OpenMutexW(SYNCHRONIZE, FALSE, expected));
  EXPECT_TRUE(mutex);
}

// Starts kesi_logwriter (built next to this test) with its standard output on a pipe.
struct Writer {
  PROCESS_INFORMATION process = {};
  HANDLE output = nullptr;

  bool Start(const std::wstring& arguments) {
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring exe = self;
    exe = exe.substr(0, exe.find_last_of(L'\\') + 1) + L"kesi_logwriter.exe";
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE childOut = nullptr;
    if (!CreatePipe(&output, &childOut, &inherit, 0)) return false;
    SetHandleInformation(output, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = childOut;
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    std::wstring command = L"\"" + exe + L"\" " + arguments;
    BOOL ok = CreateProcessW(exe.c_str(), &command[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process);
    CloseHandle(childOut);
    return ok;
  }
  // One line of the writer's output, without its line end.
  std::string ReadLine() {
    std::string line;
    char c;
    DWORD got = 0;
    while (ReadFile(output, &c, 1, &got, nullptr) && got && c != '\n')
      if (c != '\r') line += c;
    return line;
  }
  DWORD Finish() {
    WaitForSingleObject(process.hProcess, 120000);
    DWORD code = 1;
    GetExitCodeProcess(process.hProcess, &code);
    return code;
  }
  ~Writer() {
    if (output) CloseHandle(output);
    if (process.hProcess) CloseHandle(process.hProcess);
    if (process.hThread) CloseHandle(process.hThread);
  }
};

TEST_F(LogFileTest, TwoProcessesShareOneFileWithoutTearingLines) {
  const std::wstring path = Path(L"shared.log");
  const std::wstring eventName = L"kesi-logwriter-go-" + std::to_wstring(GetCurrentProcessId());
  HANDLE go = CreateEventW(nullptr, TRUE, FALSE, eventName.c_str());
  ASSERT_NE(nullptr, go);
  constexpr int kLines = 3000;
  const wchar_t tags[] = {L'A', L'B'};
  Writer writers[2];
  for (int i = 0; i < 2; ++i) {
    std::wstring arguments = L"--event " + eventName + L" \"" + path + L"\" " + std::to_wstring(kLines) + L" " + tags[i];
    ASSERT_TRUE(writers[i].Start(arguments));
  }
  // Both have the file open before either writes, so their writes overlap.
  LogFile mine;
  ASSERT_EQ(0u, mine.Open(path.c_str(), 0, nullptr));
  const std::string expectedName = "mutex=" + std::string(mine.MutexName(), mine.MutexName() + 24);
  for (Writer& w : writers) EXPECT_EQ(expectedName, w.ReadLine());
  SetEvent(go);
  for (Writer& w : writers) EXPECT_EQ(0u, w.Finish());
  CloseHandle(go);
  mine.Close();

  // Every line whole, each writer's lines all present and in their order.
  int next[2] = {0, 0};
  int torn = 0;
  for (const std::string& line : Lines(ReadWholeFile(path))) {
    std::string message = LogMessage(line);
    char tag = 0;
    int n = -1, length = -1, offset = 0;
    if (sscanf(message.c_str(), "%c %d %d %n", &tag, &n, &length, &offset) != 3 || (tag != 'A' && tag != 'B') ||
        message != message.substr(0, offset) + std::string(length, tag) + "\r\n") {
      if (++torn < 5) ADD_FAILURE() << "torn line: " << line;
      continue;
    }
    int& expected = next[tag - 'A'];
    EXPECT_EQ(expected, n) << "writer " << tag;
    expected = n + 1;
  }
  EXPECT_EQ(0, torn);
  EXPECT_EQ(kLines, next[0]);
  EXPECT_EQ(kLines, next[1]);
}

TEST_F(LogFileTest, ConsoleTakesNoMutexAndNoSizeLimit) {
  // Under ctest the process has no console of its own: make one, read back what lands in it.
  HANDLE savedOut = GetStdHandle(STD_OUTPUT_HANDLE), savedErr = GetStdHandle(STD_ERROR_HANDLE),
         savedIn = GetStdHandle(STD_INPUT_HANDLE);
  FreeConsole();
  ASSERT_TRUE(AllocConsole());
  HANDLE screen = CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, screen);

  struct Case {
    const wchar_t* path;
    DWORD options;
  } cases[] = {{L"CONOUT$", kesi::kLogPathAsGiven}, {L"conout$", 0}};
  SHORT row = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.options);
    LogFile log;
    log.SetSizeLimit(1);
    ASSERT_EQ(0u, log.Open(c.path, c.options, nullptr));
    EXPECT_STREQ(c.path, log.Path());  // a console name never moves into the log folder
    EXPECT_EQ(static_cast<DWORD>(FILE_TYPE_CHAR), log.FileType());
    EXPECT_STREQ(L"", log.MutexName());
    EXPECT_EQ(0u, kesi::LogInfo(&log, L"to the console %d", row));
    EXPECT_EQ(0u, kesi::LogInfo(&log, L"and again %d", row));
    EXPECT_EQ(static_cast<DWORD>(ERROR_NOT_SUPPORTED), log.Rotate());
    log.Close();

    for (const char* text : {"to the console ", "and again "}) {
      CONSOLE_SCREEN_BUFFER_INFO info;
      ASSERT_TRUE(GetConsoleScreenBufferInfo(screen, &info));
      wchar_t cells[256] = {};
      DWORD got = 0;
      ASSERT_TRUE(ReadConsoleOutputCharacterW(screen, cells, std::min<DWORD>(info.dwSize.X, 255), COORD{0, row}, &got));
      char narrow[256];
      WideCharToMultiByte(CP_ACP, 0, cells, -1, narrow, sizeof narrow, nullptr, nullptr);
      std::string shown = narrow;
      shown = shown.substr(0, shown.find_last_not_of(' ') + 1) + "\r\n";
      EXPECT_EQ(std::string(text) + std::to_string(cases[0].path == c.path ? 0 : 2) + "\r\n", LogMessage(shown))
          << shown;
      ++row;
    }
  }
  CloseHandle(screen);
  FreeConsole();
  SetStdHandle(STD_OUTPUT_HANDLE, savedOut);
  SetStdHandle(STD_ERROR_HANDLE, savedErr);
  SetStdHandle(STD_INPUT_HANDLE, savedIn);
}

TEST_F(LogFileTest, CipheredLogHoldsOneBase64LinePerLoggedLine) {
  const std::wstring path = Path(L"cipher.log");
  LogFile log;
  log.SetCipher(true);
  ASSERT_EQ(0u, log.Open(path.c_str(), 0, nullptr));
  const std::wstring longText(3000, L'z');
  EXPECT_EQ(0u, kesi::LogInfo(&log, L"first"));
  EXPECT_EQ(0u, kesi::LogDebug(&log, L"dropped below the threshold"));
  EXPECT_EQ(0u, kesi::LogError(&log, L"%s", longText.c_str()));
  EXPECT_EQ(0u, kesi::LogMsgInfo(&log, MSG_EVALUATED_TRUE, L"literal"));
  log.Close();

  const std::string data = ReadWholeFile(path);
  const std::vector<std::string> lines = Lines(data);
  ASSERT_EQ(3u, lines.size()) << data;
  const char* expected[] = {"first\r\n", nullptr, "Evaluated literal to TRUE\r\n\r\n"};
  for (size_t i = 0; i < lines.size(); ++i) {
    SCOPED_TRACE(i);
    const std::string& line = lines[i];
    ASSERT_EQ('\n', line.back());
    std::string base64 = line.substr(0, line.size() - 1);
    EXPECT_EQ(std::string::npos, base64.find_first_not_of(
                                     "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/="));
    EXPECT_EQ(0u, base64.size() % 4);
    std::string plain;
    ASSERT_TRUE(DecipherText(base64, &plain));
    EXPECT_EQ(expected[i] ? std::string(expected[i]) : std::string(3000, 'z') + "\r\n", LogMessage(plain));
  }
}

TEST_F(LogFileTest, LongMessagesNeverLoseTheLineEnd) {
  const std::wstring path = Path(L"long.log");
  LogFile log;
  ASSERT_EQ(0u, log.Open(path.c_str(), 0, nullptr));
  // A message too long for the 4,096-character line is written as empty text; the line still ends.
  const std::wstring tooLong(5000, L'q');
  EXPECT_EQ(0u, kesi::LogInfo(&log, L"%s", tooLong.c_str()));
  EXPECT_EQ(0u, log.Print(kesi::kLogInfo, tooLong.c_str(), nullptr));
  const std::wstring fits(4000, L'f');
  EXPECT_EQ(0u, kesi::LogInfo(&log, L"%s", fits.c_str()));
  EXPECT_EQ(0u, kesi::LogInfo(&log, L"next"));
  log.Close();
  const std::vector<std::string> lines = Lines(ReadWholeFile(path));
  ASSERT_EQ(4u, lines.size());
  EXPECT_EQ("\r\n", LogMessage(lines[0]));
  EXPECT_EQ("\r\n", LogMessage(lines[1]));
  EXPECT_EQ(std::string(4000, 'f') + "\r\n", LogMessage(lines[2]));
  EXPECT_EQ("next\r\n", LogMessage(lines[3]));
}

TEST_F(LogFileTest, PrintMsgIdFillsCatalogueTexts) {
  const std::wstring path = Path(L"messages.log");
  LogFile log;
  ASSERT_EQ(0u, log.Open(path.c_str(), 0, GetModuleHandleW(nullptr)));

  struct Case {
    const char* what;
    DWORD result;
    const char* text;  // without the message's own CR-LF
  } cases[] = {
      {"two string inserts", kesi::LogMsgInfo(&log, MSG_BEGIN_FUNCTION, L"Install", L"x, y"),
       "Beginning Install(x, y) function"},
      {"quoted insert", kesi::LogMsgWarning(&log, MSG_SYGATE_NOT_FOUND, L"C:\\fw.dll"),
       "Sygate check failed, C:\\fw.dll not found"},
      {"numbers", kesi::LogMsgInfo(&log, MSG_REMOVING_DIRECTORY, L"C:\\d", L"yes", -5),
       "Removing directory \"C:\\d\"; Reboot=yes Error=-5"},
      {"hex insert", kesi::LogMsgInfo(&log, MSG_COMPONENT_VERSION, 0x1A2Bu), "Component version: 0x00001A2B."},
      {"inserts and line breaks", kesi::LogMsgInfo(&log, MSG_INSTALL_COMPONENT_CALLED, L"u", L"f", L"c", L"v", L"l"),
       "InstallComponent called. Parameters: \r\nCabURL: u \r\nFileName: f \r\nClassId: c \r\nVersion: v "
       "\r\nLocation: l."},
      {"printf-style remains", kesi::LogMsgInfo(&log, MSG_FIREWALL_ENABLED_FAILED, 5ul),
       "MS Firewall Detection Failed to get_FirewallEnabled lu \r\n"},
      {"stray quotes", kesi::LogMsgWarning(&log, MSG_NO_MSI_URL),
       "File \"Failed to perform install.  No URL to the msi file was specified.\""},
      {"leading quote", kesi::LogMsgWarning(&log, MSG_TDI_REMOVE_FAILED, 31), "\"LwpTdiRemove failed, error: 31"},
      {"typo kept", kesi::LogMsgInfo(&log, MSG_MSI_NOT_INSTALLED), "The MSI product in not installed."},
      {"debug level", kesi::LogMsgDebug(&log, MSG_ENTER_RUN), nullptr},  // below the threshold
  };
  log.Close();

  // Each message carries its own CR-LF and the line adds one more.
  const std::vector<std::string> entries = LogEntries(ReadWholeFile(path));
  size_t next = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(0u, c.result);
    if (!c.text) continue;
    ASSERT_LT(next, entries.size());
    EXPECT_EQ(std::string(c.text) + "\r\n\r\n", entries[next++]);
  }
  EXPECT_EQ(entries.size(), next);
}

TEST_F(LogFileTest, PrintMsgIdTracesAtDebugLevel) {
  const std::wstring path = Path(L"trace.log");
  LogFile log;
  log.SetThreshold(kesi::kLogDebug);
  ASSERT_EQ(0u, log.Open(path.c_str(), 0, nullptr));
  EXPECT_EQ(0u, kesi::LogMsgWarning(&log, MSG_ROLLING_BACK));
  constexpr DWORD kMissing = MSG_TEXT + 1;  // the first band ends at MSG_TEXT
  EXPECT_EQ(static_cast<DWORD>(ERROR_MR_MID_NOT_FOUND), kesi::LogMsgInfo(&log, kMissing));
  // Without an argument list the inserts stay as they are written.
  EXPECT_EQ(0u, log.PrintMsgId(kesi::kLogInfo, MSG_EVALUATED_FALSE, nullptr));
  log.Close();

  char closed[40];
  snprintf(closed, sizeof closed, "Log file closed, pid %08lx\r\n", GetCurrentProcessId());
  const std::vector<std::string> expected = {
      "LogFile::PrintMsgId\r\n",
      "LogFile::PrintMsgId: FormatMessage succeeded\r\n",
      "Rolling back changes...\r\n\r\n",
      "LogFile::PrintMsgId: Print result [0|0]\r\n",
      "LogFile::PrintMsgId\r\n",
      "LogFile::PrintMsgId: FormatMessage failed [317|13d]\r\n",
      "LogFile::PrintMsgId\r\n",
      "LogFile::PrintMsgId: FormatMessage succeeded\r\n",
      "Evaluated %1!s! to FALSE\r\n\r\n",
      "LogFile::PrintMsgId: Print result [0|0]\r\n",
      closed,
  };
  EXPECT_EQ(expected, LogEntries(ReadWholeFile(path)));
}

TEST(MessageCatalogue, HoldsTheFiveBandsAndNothingElse) {
  // The bands and their members: 1000-1020, 2000-2041, even numbers 2100-2166 and 2168-2171, 3000-3011,
  // 4000-4025.
  auto listed = [](DWORD id) {
    return (id >= 1000 && id <= 1020) || (id >= 2000 && id <= 2041) || (id >= 2100 && id <= 2166 && id % 2 == 0) ||
           (id >= 2168 && id <= 2171) || (id >= 3000 && id <= 3011) || (id >= 4000 && id <= 4025);
  };
  int count = 0;
  for (DWORD id = 0; id < 5000; ++id) {
    wchar_t text[4096];
    DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, id,
                                  MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), text, 4096, nullptr);
    EXPECT_EQ(listed(id), length != 0) << id;
    if (!length) continue;
    ++count;
    // Every message ends with a CR-LF of its own.
    ASSERT_GE(length, 3u) << id;
    EXPECT_EQ(L'\r', text[length - 2]) << id;
    EXPECT_EQ(L'\n', text[length - 1]) << id;
  }
  EXPECT_EQ(139, count);
}

}  // namespace
