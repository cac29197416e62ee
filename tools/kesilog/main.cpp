// kesilog: turns a ciphered log back into readable text for support staff.
//
//   kesilog [-o OUTPUT] [FILE...]            decipher (standard input when no FILE, or for "-")
//   kesilog --encrypt [-o OUTPUT] [FILE...]  encipher each line, as a ciphered log holds it
//
// A log may mix ciphered and plain lines (a writer that cannot cipher a line writes it plain, and the log
// bundle copies plain logs into itself), so every line that is not the Base64 text of whole cipher blocks,
// or does not decipher, is passed through unchanged. Deciphered lines carry their own line endings.
#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <vector>

#include "LineCipher.h"

using namespace kesi;

namespace {

const wchar_t kUsage[] =
    L"usage: kesilog [--encrypt] [-o OUTPUT] [FILE...]\n"
    L"  Deciphers a ciphered log to readable text; plain lines pass through unchanged.\n"
    L"  FILE      log to read; standard input when none is given or for \"-\"\n"
    L"  -o FILE   write to FILE instead of standard output\n"
    L"  --encrypt encipher every line instead (one Base64 line per input line)\n";

bool Decipher(FILE* in, FILE* out, bool* readFailed) {
  size_t len = 0;
  while (char* line = kesi::ReadLine(in, &len, readFailed)) {
    size_t body = len;
    while (body && (line[body - 1] == '\n' || line[body - 1] == '\r')) --body;
    char* plain = nullptr;
    if (kesi::LooksCiphered(line, body)) {
      const char ending = line[body];
      line[body] = '\0';
      if (!kesi::DecryptLine(line, &plain)) plain = nullptr;  // told on stderr; the line stays as it is
      line[body] = ending;
    }
    const bool ok = plain ? std::fputs(plain, out) >= 0 : std::fwrite(line, 1, len, out) == len;
    std::free(plain);
    std::free(line);
    if (!ok) return false;
  }
  return !*readFailed;
}

bool Encipher(FILE* in, FILE* out, bool* readFailed) {
  size_t len = 0;
  while (char* line = kesi::ReadLine(in, &len, readFailed)) {
    char* b64 = nullptr;
    const bool ok = kesi::EncryptLine(line, &b64) && std::fprintf(out, "%s\n", b64) >= 0;
    std::free(b64);
    std::free(line);
    if (!ok) return false;
  }
  return !*readFailed;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  bool encrypt = false;
  const wchar_t* outPath = nullptr;
  std::vector<const wchar_t*> inputs;
  bool options = true;
  for (int i = 1; i < argc; ++i) {
    const wchar_t* a = argv[i];
    if (!options || a[0] != L'-' || !std::wcscmp(a, L"-")) {
      inputs.push_back(a);
    } else if (!std::wcscmp(a, L"--")) {
      options = false;
    } else if (!std::wcscmp(a, L"--encrypt")) {
      encrypt = true;
    } else if (!std::wcscmp(a, L"-o") && i + 1 < argc) {
      outPath = argv[++i];
    } else if (!std::wcscmp(a, L"-h") || !std::wcscmp(a, L"--help")) {
      std::fputws(kUsage, stdout);
      return 0;
    } else {
      std::fwprintf(stderr, L"kesilog: unknown option %ls\n", a);
      std::fputws(kUsage, stderr);
      return 2;
    }
  }
  if (inputs.empty()) inputs.push_back(L"-");

  // Bytes in, bytes out: line endings are part of the text and must not be translated.
  _setmode(_fileno(stdin), _O_BINARY);
  _setmode(_fileno(stdout), _O_BINARY);
  FILE* out = stdout;
  if (outPath) {
    out = _wfopen(outPath, L"wb");
    if (!out) {
      std::fwprintf(stderr, L"kesilog: cannot create %ls\n", outPath);
      return 1;
    }
  }

  int rc = 0;
  auto run = [&](FILE* in, const wchar_t* name) {
    bool readFailed = false;
    const bool ok = encrypt ? Encipher(in, out, &readFailed) : Decipher(in, out, &readFailed);
    if (!ok) {
      std::fwprintf(stderr, readFailed ? L"kesilog: cannot read %ls\n" : L"kesilog: cannot process %ls\n",
                    name);
      rc = 1;
    }
    return ok;
  };
  for (const wchar_t* path : inputs) {
    if (!std::wcscmp(path, L"-")) {
      run(stdin, L"standard input");
    } else if (FILE* in = _wfopen(path, L"rb")) {
      run(in, path);
      std::fclose(in);
    } else {
      std::fwprintf(stderr, L"kesilog: cannot open %ls\n", path);
      rc = 1;
    }
    if (rc) break;
  }
  if (std::fflush(out) != 0 || (out != stdout && std::fclose(out) != 0)) {
    if (rc == 0) std::fwprintf(stderr, L"kesilog: cannot write the output\n");
    rc = 1;
  }
  return rc;
}
