#include "LogBundle.h"

#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <memory>
#include <new>

#include "Handles.h"
#include "LineCipher.h"
#include "LogFileIo.h"
#include "LogFolder.h"

namespace kesi {
namespace {

constexpr DWORD kCopyBlock = 4096;

// The line cipher's Base64 text of text followed by "\n"; plain text when the cipher fails.
DWORD WriteCipheredLine(HANDLE file, const char* text) {
  char* cipher = nullptr;
  if (!EncryptLine(text, &cipher)) return WriteAll(file, text, static_cast<DWORD>(strlen(text)));
  size_t length = strlen(cipher);
  char* line = static_cast<char*>(realloc(cipher, length + 1));
  if (!line) {
    free(cipher);
    return ERROR_OUTOFMEMORY;
  }
  line[length] = '\n';
  DWORD result = WriteAll(file, line, static_cast<DWORD>(length + 1));
  free(line);
  return result;
}

// Copies the file at source to the current position of target; a missing source copies nothing.
DWORD CopyInto(HANDLE target, const wchar_t* source) {
  UniqueFile in(CreateFileW(source, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!in) {
    DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? ERROR_SUCCESS : error;
  }
  char block[kCopyBlock];
  for (;;) {
    DWORD got = 0;
    if (!ReadFile(in.get(), block, sizeof block, &got, nullptr)) return GetLastError();
    if (got == 0) return ERROR_SUCCESS;
    if (DWORD error = WriteAll(target, block, got)) return error;
  }
}

}  // namespace

bool IsBootstrapperRunning() {
  UniqueHandle event(OpenEventW(SYNCHRONIZE, FALSE, kBootstrapperRunningEvent));
  return static_cast<bool>(event);
}

DWORD AppendCipheredLog(const wchar_t* bundlePath, const wchar_t* logPath) {
  if (!bundlePath || !*bundlePath || !logPath || !*logPath) return ERROR_INVALID_PARAMETER;
  UniqueFile in(CreateFileW(logPath, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!in) return GetLastError();
  UniqueFile out(CreateFileW(bundlePath, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!out) return GetLastError();

  // A block of 4,096 bytes holds 2,048 wide characters; in a multi-byte code page each may take more.
  char block[kCopyBlock];
  constexpr int kAnsiRoom = kCopyBlock * 2 + 1;
  std::unique_ptr<char[]> ansi(new (std::nothrow) char[kAnsiRoom]);
  if (!ansi) return ERROR_OUTOFMEMORY;
  bool first = true;
  for (;;) {
    DWORD got = 0;
    if (!ReadFile(in.get(), block, sizeof block, &got, nullptr)) return GetLastError();
    const wchar_t* text = reinterpret_cast<const wchar_t*>(block);
    int chars = static_cast<int>(got / sizeof(wchar_t));
    if (first && chars > 0 && text[0] == 0xFEFF) {  // the byte-order mark is no part of the text
      ++text;
      --chars;
    }
    first = false;
    if (chars > 0) {
      ToAnsi(text, chars, ansi.get(), kAnsiRoom);
      LARGE_INTEGER end = {};
      if (!SetFilePointerEx(out.get(), end, &end, FILE_END)) return GetLastError();
      // Lock the range the line is appended to, so that no other writer's bytes land inside it.
      DWORD span = static_cast<DWORD>(strlen(ansi.get())) * 2 + 64;
      bool locked = LockFile(out.get(), end.LowPart, static_cast<DWORD>(end.HighPart), span, 0);
      DWORD error = WriteCipheredLine(out.get(), ansi.get());
      if (locked) UnlockFile(out.get(), end.LowPart, static_cast<DWORD>(end.HighPart), span, 0);
      if (error) return error;
    }
    if (got < sizeof block) return ERROR_SUCCESS;
  }
}

DWORD BuildLogBundle(const wchar_t* logFolder, wchar_t* bundlePath) {
  wchar_t folder[MAX_PATH];
  if (logFolder && *logFolder) {
    if (wcslen(logFolder) >= MAX_PATH) return ERROR_FILENAME_EXCED_RANGE;
    wcscpy(folder, logFolder);
  } else if (DWORD error = GetLogFolder(folder)) {
    return error;
  }
  auto inFolder = [&folder](wchar_t* path, const wchar_t* name) {
    wcscpy(path, folder);
    return AppendPath(path, L"\\") && AppendPath(path, name);
  };
  wchar_t bundle[MAX_PATH], init[MAX_PATH], provisioner[MAX_PATH], interrogator[MAX_PATH], install[MAX_PATH];
  if (!inFolder(bundle, kBootstrapperLogName) || !inFolder(init, kInitLogName) ||
      !inFolder(provisioner, kProvisionerLogName) || !inFolder(interrogator, kInterrogatorLogName) ||
      !inFolder(install, kInstallLogName))
    return ERROR_FILENAME_EXCED_RANGE;

  {
    UniqueFile out(CreateFileW(bundle, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!out) return GetLastError();
    struct Part {
      const char* header;
      const wchar_t* path;
    } parts[] = {
        {nullptr, init},
        {"\r\n\r\n*** Provision log contents follow ***\r\n\r\n", provisioner},
        {"\r\n\r\n*** Interrogator log contents follow ***\r\n\r\n", interrogator},
        {"\r\n\r\n*** MSI log contents follow ***\r\n\r\n", nullptr},
    };
    for (const Part& part : parts) {
      if (part.header)
        if (DWORD error = WriteCipheredLine(out.get(), part.header)) return error;
      if (part.path)
        if (DWORD error = CopyInto(out.get(), part.path)) return error;
    }
  }
  // The MSI log is removed only once it is safely in the bundle.
  if (AppendCipheredLog(bundle, install) == ERROR_SUCCESS) DeleteFileW(install);
  if (bundlePath) wcscpy(bundlePath, bundle);
  return ERROR_SUCCESS;
}

}  // namespace kesi
