#pragma once
// The line cipher on std::string, for the tests of every preset.
#include <cstdlib>
#include <string>

#include "LineCipher.h"

namespace kesi::test {

// The Base64 text of line; "<unenciphered>" when EncryptLine fails.
inline std::string CipherText(const std::string& line) {
  char* base64 = nullptr;
  if (!EncryptLine(line.c_str(), &base64)) return "<unenciphered>";
  std::string text = base64;
  std::free(base64);
  return text;
}

// The plaintext of a Base64 line into *plain; false, *plain untouched, when DecryptLine fails.
inline bool DecipherText(const std::string& base64, std::string* plain) {
  char* text = nullptr;
  if (!DecryptLine(base64.c_str(), &text)) {
    std::free(text);
    return false;
  }
  *plain = text;
  std::free(text);
  return true;
}

}  // namespace kesi::test
