// The log file under Wine: line format, levels, options, rotation, the cross-process mutex, the console,
// the cipher, numbered messages from the message table, and the log bundle. Every case works in its own
// temporary folder; the user's log folder is covered by core_logfolder_tests.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <iterator>
#include <cstring>
#include <string>
#include <vector>

#include "LineCipher.h"
#include "LogFile.h"
#include "TestLogFile.h"
#include "messages.h"

using namespace kesi;

namespace {

using kesi::LogFile;
using kesi::test::ReadWholeFile;

void WriteAll(const std::wstring& path, const void* bytes, size_t count) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, file);
  DWORD written = 0;
  WriteFile(file, bytes, static_cast<DWORD>(count), &written, nullptr);
  CloseHandle(file);
  ASSERT_EQ(count, written);
}

bool Exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

// Splits at "\n", keeping each line's terminator.
std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    end = end == std::string::npos ? text.size() : end + 1;
    lines.push_back(text.substr(start, end - start));
    start = end;
  }
  return lines;
}

std::string Decipher(const std::string& base64) {
  char* plain = nullptr;
  if (!kesi::DecryptLine(base64.c_str(), &plain)) return "<undecipherable>";
  std::string text = plain;
  free(plain);
  return text;
}

std::string Cipher(const std::string& text) {
  char* base64 = nullptr;
  if (!kesi::EncryptLine(text.c_str(), &base64)) return "<unenciphered>";
  std::string out = base64;
  free(base64);
  return out;
}

// The part of a log line after the date, time, milliseconds and level tag: "<date> HH:MM:SS.mmm T <message>".
// Empty when the line does not have that shape.
std::string Message(const std::string& line, char* tag = nullptr) {
  wchar_t wideDate[80];
  SYSTEMTIME now;
  GetLocalTime(&now);
  GetDateFormatW(LOCALE_SYSTEM_DEFAULT, DATE_SHORTDATE, &now, nullptr, wideDate, 80);
  char date[160];
  WideCharToMultiByte(CP_ACP, 0, wideDate, -1, date, sizeof date, nullptr, nullptr);
  size_t d = strlen(date);
  if (line.compare(0, d, date) != 0 || line.size() < d + 16) return "";
  const char* p = line.c_str() + d;
  const char shape[] = " 99:99:99.999 ";
  for (size_t i = 0; i < sizeof shape - 1; ++i) {
    if (shape[i] == '9' ? !isdigit(static_cast<unsigned char>(p[i])) : p[i] != shape[i]) return "";
  }
  if (!strchr("DIWEF", p[14]) || p[15] != ' ') return "";
  if (tag) *tag = p[14];
  return line.substr(d + 16);
}

// The messages of a plain log, one per logged line: a message that holds line breaks of its own continues
// on the lines that carry no date and time.
std::vector<std::string> Entries(const std::string& data) {
  std::vector<std::string> entries;
  for (const std::string& line : Lines(data)) {
    std::string message = Message(line);
    if (!message.empty()) entries.push_back(message);
    else if (!entries.empty()) entries.back() += line;
    else entries.push_back("<no prefix> " + line);
  }
  return entries;
}

class LogFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
    folder_ = std::wstring(temp) + L"kesi-log-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
              std::wstring(info->name(), info->name() + strlen(info->name()));
    CreateDirectoryW(folder_.c_str(), nullptr);
  }
  void TearDown() override {
    WIN32_FIND_DATAW found;
    HANDLE find = FindFirstFileW((folder_ + L"\\*").c_str(), &found);
    if (find != INVALID_HANDLE_VALUE) {
      do {
        if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) DeleteFileW((folder_ + L"\\" + found.cFileName).c_str());
      } while (FindNextFileW(find, &found));
      FindClose(find);
    }
    RemoveDirectoryW(folder_.c_str());
  }
  std::wstring Path(const wchar_t* name) const { return folder_ + L"\\" + name; }

  std::wstring folder_;
};

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
    EXPECT_EQ(expected[i].message, Message(lines[i], &tag));
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
      std::string message = Message(line, &tag);
      if (message.rfind("Log file closed, pid ", 0) == 0) {
        char pid[16];
        snprintf(pid, sizeof pid, "%08lx\r\n", GetCurrentProcessId());
        EXPECT_EQ(std::string("Log file closed, pid ") + pid, message);
        closedLine = true;
        continue;
      }
      tags += tag;
      EXPECT_EQ(std::string("level ") + "01234"[std::string("DIWEF").find(tag)] + "\r\n", message);
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
  const std::wstring longPath = folder_ + L"\\" + std::wstring(MAX_PATH, L'x');
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
    WriteAll(path, "earlier run\r\n", 13);
    LogFile log;
    ASSERT_EQ(0u, log.Open(path.c_str(), c.options, nullptr));
    kesi::LogInfo(&log, L"this run");
    log.Close();
    std::vector<std::string> lines = Lines(ReadWholeFile(path));
    ASSERT_EQ(c.lines, lines.size());
    EXPECT_EQ("this run\r\n", Message(lines.back()));
  }
}

TEST_F(LogFileTest, FullLogIsCopiedToOldAndRestarted) {
  const std::wstring path = Path(L"rotate.log");
  const std::wstring old = path + L".old";
  WriteAll(old, "stale copy\r\n", 12);
  LogFile log;
  log.SetSizeLimit(300);
  ASSERT_EQ(0u, log.Open(path.c_str(), 0, nullptr));
  int n = 0;
  // Fill up to the limit: the line that finds the file at or past it starts the new file.
  while (ReadWholeFile(path).size() < 300) ASSERT_EQ(0u, log.Printf(kesi::kLogInfo, L"line %d", n++));
  const std::string full = ReadWholeFile(path);
  ASSERT_EQ(0u, log.Printf(kesi::kLogInfo, L"after rotation"));

  EXPECT_EQ(full, ReadWholeFile(old));
  std::vector<std::string> lines = Lines(ReadWholeFile(path));
  ASSERT_EQ(1u, lines.size());
  EXPECT_EQ("after rotation\r\n", Message(lines[0]));

  // Truncate empties, Rotate replaces the copy with what the file holds now.
  ASSERT_EQ(0u, log.Rotate());
  EXPECT_EQ(lines[0], ReadWholeFile(old));
  ASSERT_EQ(0u, log.Truncate());
  EXPECT_EQ("", ReadWholeFile(path));
  ASSERT_EQ(0u, kesi::LogInfo(&log, L"on an empty file"));
  EXPECT_EQ(1u, Lines(ReadWholeFile(path)).size());
}

TEST_F(LogFileTest, MutexIsNamedAfterTheFileIdentity) {
  const std::wstring path = Path(L"identity.log");
  LogFile first, second, other;
  ASSERT_EQ(0u, first.Open(path.c_str(), 0, nullptr));
  // Another spelling of the same file reaches the same mutex.
  const std::wstring alias = folder_ + L"\\.\\IDENTITY.LOG";
  ASSERT_EQ(0u, second.Open(alias.c_str(), 0, nullptr));
  ASSERT_EQ(0u, other.Open(Path(L"other.log").c_str(), 0, nullptr));

  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, file);
  BY_HANDLE_FILE_INFORMATION info;
  ASSERT_TRUE(GetFileInformationByHandle(file, &info));
  CloseHandle(file);
  wchar_t expected[32];
  swprintf(expected, 32, L"%08x%08x%08x", static_cast<unsigned>(info.dwVolumeSerialNumber),
           static_cast<unsigned>(info.nFileIndexHigh), static_cast<unsigned>(info.nFileIndexLow));

  EXPECT_STREQ(expected, first.MutexName());
  EXPECT_STREQ(expected, second.MutexName());
  EXPECT_STRNE(expected, other.MutexName());
  EXPECT_EQ(24u, wcslen(other.MutexName()));
  HANDLE mutex = OpenMutexW(SYNCHRONIZE, FALSE, expected);
  EXPECT_NE(nullptr, mutex);
  if (mutex) CloseHandle(mutex);
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
    std::string message = Message(line);
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
      EXPECT_EQ(std::string(text) + std::to_string(cases[0].path == c.path ? 0 : 2) + "\r\n", Message(shown))
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
    std::string plain = Decipher(base64);
    EXPECT_EQ(expected[i] ? std::string(expected[i]) : std::string(3000, 'z') + "\r\n", Message(plain));
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
  EXPECT_EQ("\r\n", Message(lines[0]));
  EXPECT_EQ("\r\n", Message(lines[1]));
  EXPECT_EQ(std::string(4000, 'f') + "\r\n", Message(lines[2]));
  EXPECT_EQ("next\r\n", Message(lines[3]));
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
  const std::vector<std::string> entries = Entries(ReadWholeFile(path));
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
  EXPECT_EQ(static_cast<DWORD>(ERROR_MR_MID_NOT_FOUND), kesi::LogMsgInfo(&log, 1021));
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
  EXPECT_EQ(expected, Entries(ReadWholeFile(path)));
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

TEST_F(LogFileTest, BundleJoinsTheLogsInOrder) {
  const std::string init = "init line one\r\ninit line two\r\n";
  const std::string provisioner = Cipher("provisioner\r\n") + "\n";
  const std::string interrogator = Cipher("interrogator a\r\n") + "\n" + Cipher("interrogator b\r\n") + "\n";
  // The MSI log is wide text with a byte-order mark; 3,000 characters make two 4,096-byte blocks.
  std::wstring install = L"\xFEFF";
  for (int i = 0; install.size() < 3000; ++i) install += L"MSI (s) line " + std::to_wstring(i) + L"\r\n";
  install.resize(3000);
  const std::string installAnsi(install.begin() + 1, install.end());
  const std::string blocks[] = {installAnsi.substr(0, 2047), installAnsi.substr(2047)};

  const std::string h1 = Cipher("\r\n\r\n*** Provision log contents follow ***\r\n\r\n") + "\n";
  const std::string h2 = Cipher("\r\n\r\n*** Interrogator log contents follow ***\r\n\r\n") + "\n";
  const std::string h3 = Cipher("\r\n\r\n*** MSI log contents follow ***\r\n\r\n") + "\n";

  struct Case {
    const char* what;
    bool withInit, withProvisioner, withInstall;
    std::string expected;
  } cases[] = {
      {"every log", true, true, true,
       init + h1 + provisioner + h2 + interrogator + h3 + Cipher(blocks[0]) + "\n" + Cipher(blocks[1]) + "\n"},
      {"interrogator log only", false, false, false, h1 + h2 + interrogator + h3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    WriteAll(Path(L"kesiBootstrapper.log"), "stale bundle", 12);
    if (c.withInit) WriteAll(Path(L"kesiInit.log"), init.data(), init.size());
    if (c.withProvisioner) WriteAll(Path(L"kesiProvisioner.log"), provisioner.data(), provisioner.size());
    WriteAll(Path(L"KESInterrogator.log"), interrogator.data(), interrogator.size());
    if (c.withInstall) WriteAll(Path(L"kesiInstall.log"), install.data(), install.size() * sizeof(wchar_t));

    wchar_t bundle[MAX_PATH] = {};
    ASSERT_EQ(0u, kesi::BuildLogBundle(folder_.c_str(), bundle));
    EXPECT_EQ(Path(L"kesiBootstrapper.log"), bundle);
    const std::string data = ReadWholeFile(bundle);
    EXPECT_EQ(c.expected, data);
    // The MSI log has gone into the bundle; the others stay.
    EXPECT_FALSE(Exists(Path(L"kesiInstall.log")));
    EXPECT_TRUE(Exists(Path(L"KESInterrogator.log")));
    for (const wchar_t* name : {L"kesiInit.log", L"kesiProvisioner.log", L"KESInterrogator.log"})
      DeleteFileW(Path(name).c_str());
  }
}

TEST_F(LogFileTest, AppendCipheredLogAddsToTheEndAndReportsMissingFiles) {
  const std::wstring bundle = Path(L"bundle.log");
  WriteAll(bundle, "head\n", 5);
  const std::wstring install = Path(L"install.log");
  const std::wstring text = L"short MSI log\r\n";
  WriteAll(install, text.data(), text.size() * sizeof(wchar_t));
  ASSERT_EQ(0u, kesi::AppendCipheredLog(bundle.c_str(), install.c_str()));
  EXPECT_EQ("head\n" + Cipher("short MSI log\r\n") + "\n", ReadWholeFile(bundle));
  EXPECT_TRUE(Exists(install));  // only the bundle removes the MSI log
  EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), kesi::AppendCipheredLog(bundle.c_str(), Path(L"none").c_str()));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), kesi::AppendCipheredLog(nullptr, install.c_str()));
}

}  // namespace
