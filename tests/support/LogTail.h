#pragma once
// What a log of the log folder gained since the object was made: the raw text, or the messages of its
// ciphered lines, deciphered.
#include <windows.h>

#include <string>
#include <vector>

#include "LogFolder.h"
#include "TestCipher.h"
#include "TestFiles.h"
#include "TestLogFile.h"

namespace kesi::test {

class LogTail {
 public:
  // name: the log's file name in the log folder (kInstallerLogName, kInterrogatorLogName...).
  explicit LogTail(const wchar_t* name) {
    wchar_t path[MAX_PATH];
    if (GetLogFolderFile(path, name) == 0) path_ = path;
    start_ = ReadWholeFile(path_).size();
  }

  std::string Text() const {
    const std::string all = ReadWholeFile(path_);
    return all.size() > start_ ? all.substr(start_) : std::string();
  }

  // The message of each new ciphered line (lines that do not decipher are skipped).
  std::vector<std::string> Messages() const {
    std::vector<std::string> messages;
    for (std::string line : Lines(Text())) {
      while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
      std::string plain;
      if (!DecipherText(line, &plain)) continue;
      while (!plain.empty() && (plain.back() == '\n' || plain.back() == '\r')) plain.pop_back();
      messages.push_back(LogMessage(plain));
    }
    return messages;
  }

 private:
  std::wstring path_;
  size_t start_ = 0;
};

}  // namespace kesi::test
