// logdemo: shows the log file at work. Writes "KESInterrogator.log" in the user's log folder the way the
// interrogator object does (a fresh, ciphered log per run, numbered messages from this program's message
// table, plain lines in between) and prints the log's path.
//   logdemo [--debug]      --debug lowers the threshold so that PrintMsgId's own traces show as well
#include <windows.h>

#include <cstdio>
#include <cwchar>

#include "LogFile.h"
#include "messages.h"

int wmain(int argc, wchar_t** argv) {
  kesi::LogFile log;
  log.SetCipher(true);
  if (argc > 1 && wcscmp(argv[1], L"--debug") == 0) log.SetThreshold(kesi::kLogDebug);
  if (DWORD error = log.Open(kesi::kInterrogatorLogName, kesi::kLogFresh, GetModuleHandleW(nullptr))) {
    fprintf(stderr, "logdemo: cannot open the log: %lu\n", error);
    return 1;
  }
  const wchar_t* url = L"https://127.0.0.1/postauth/config";
  kesi::LogMsgInfo(&log, MSG_INTERROGATOR_CREATED);
  kesi::LogInfo(&log, L"KESInterrogator::DoInterrogationLogon: pid %lu", GetCurrentProcessId());
  kesi::LogMsgInfo(&log, MSG_DOWNLOADING_CONFIGURATION, url);
  kesi::LogMsgInfo(&log, MSG_CONFIGURATION_DOWNLOADED);
  kesi::LogMsgInfo(&log, MSG_ENTER_RUN);
  kesi::LogMsgInfo(&log, MSG_EVALUATED_TRUE, L"OSVersion 6.1");
  kesi::LogMsgInfo(&log, MSG_EVALUATED_FALSE, L"File C:\\Program Files\\Missing\\app.exe");
  kesi::LogMsgInfo(&log, MSG_EVALUATED_ALL_LITERALS);
  kesi::LogMsgInfo(&log, MSG_EXIT_RUN);
  kesi::LogMsgWarning(&log, MSG_PROCESS_TABLE_FULL, 4096u);
  kesi::LogError(&log, L"PostResult failed to %s error is %lu", url, 12029ul);
  kesi::LogMsgInfo(&log, MSG_POST_RESULT_FAILED, url, 12029ul);
  kesi::LogMsgInfo(&log, MSG_INTERROGATOR_DESTROYED);
  printf("%ls\n", log.Path());
  log.Close();
  return 0;
}
