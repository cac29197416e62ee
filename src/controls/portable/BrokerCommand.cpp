#include "BrokerCommand.h"

#include "ErrorCodes.h"

namespace kesi::controls {
namespace {

bool IsBlank(wchar_t c) { return c == L' ' || c == L'\t'; }

// Encloses word in double quotes so that the split gives it back: a double quote travels as \" and a run
// of backslashes before a double quote, or before the closing quote, is doubled.
void AppendQuoted(std::wstring& line, std::wstring_view word) {
  line += L'"';
  size_t backslashes = 0;
  for (wchar_t c : word) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    line.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
    backslashes = 0;
    line += c;
  }
  line.append(backslashes * 2, L'\\');
  line += L'"';
}

void AppendSeparator(std::wstring& line) {
  if (!line.empty()) line += L' ';
}

uint32_t ReadLittleEndian32(const unsigned char* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}

}  // namespace

void AppendCommandWord(std::wstring& line, std::wstring_view word) {
  AppendSeparator(line);
  if (word.empty() || word.find_first_of(L" \t\"") != std::wstring_view::npos)
    AppendQuoted(line, word);
  else
    line.append(word);
}

bool BuildInterrogationCommand(std::wstring_view authId, std::wstring_view urlConfiguration,
                               std::wstring_view urlPost, std::wstring* line) {
  // Quoting only adds characters: words that are too long already need no building.
  if (authId.size() + urlConfiguration.size() + urlPost.size() > kBrokerCommandChars) return false;
  std::wstring built = L"1";
  AppendCommandWord(built, authId);
  AppendCommandWord(built, urlConfiguration);
  AppendCommandWord(built, urlPost);
  if (built.size() > kBrokerCommandChars) return false;
  *line = std::move(built);
  return true;
}

bool BuildInstallCommand(std::wstring_view command, std::wstring_view credential, std::wstring_view configuration,
                         std::initializer_list<std::wstring_view> words, std::wstring* line) {
  size_t given = command.size() + credential.size() + configuration.size();
  for (std::wstring_view word : words) given += word.size();
  if (given > kBrokerCommandChars) return false;
  std::wstring built(command);
  AppendCommandWord(built, credential);
  std::wstring travelling(configuration);
  for (wchar_t& c : travelling) {
    if (c == L'"') c = L'`';
  }
  AppendSeparator(built);
  AppendQuoted(built, travelling);
  for (std::wstring_view word : words) AppendCommandWord(built, word);
  if (built.size() > kBrokerCommandChars) return false;
  *line = std::move(built);
  return true;
}

bool BuildMsiInstallCommand(std::wstring_view credential, std::wstring_view configuration, std::wstring_view serverIp,
                            std::wstring_view msiUrl, std::wstring* line) {
  return BuildInstallCommand(L"5", credential, configuration, {serverIp, msiUrl}, line);
}

std::vector<CommandWord> SplitCommandLine(std::wstring_view line) {
  std::vector<CommandWord> words;
  if (line.empty()) return words;

  // The program name: up to the next quote, or up to a blank; no escapes.
  CommandWord first;
  size_t i = 0;
  if (line[0] == L'"') {
    for (i = 1; i < line.size() && line[i] != L'"'; ++i) first.text += line[i];
    if (i < line.size()) ++i;
  } else {
    for (; i < line.size() && !IsBlank(line[i]); ++i) first.text += line[i];
  }
  first.end = i;
  words.push_back(std::move(first));
  while (i < line.size() && IsBlank(line[i])) ++i;
  if (i == line.size()) return words;

  CommandWord word;
  word.begin = i;
  size_t quotes = 0;  // 1 inside quotes; 2 just after a closing quote, where a third one is literal
  size_t backslashes = 0;
  while (i < line.size()) {
    const wchar_t c = line[i];
    if (IsBlank(c) && quotes == 0) {
      word.end = i;
      words.push_back(std::move(word));
      word = CommandWord();
      backslashes = 0;
      while (i < line.size() && IsBlank(line[i])) ++i;
      if (i == line.size()) return words;
      word.begin = i;
    } else if (c == L'\\') {
      word.text += c;
      ++backslashes;
      ++i;
    } else if (c == L'"') {
      if (backslashes % 2 == 0) {
        word.text.resize(word.text.size() - backslashes / 2);
        ++quotes;
      } else {
        word.text.resize(word.text.size() - backslashes / 2 - 1);
        word.text += L'"';
      }
      backslashes = 0;
      for (++i; i < line.size() && line[i] == L'"'; ++i) {
        if (++quotes == 3) {
          word.text += L'"';
          quotes = 0;
        }
      }
      if (quotes == 2) quotes = 0;
    } else {
      word.text += c;
      backslashes = 0;
      ++i;
    }
  }
  word.end = i;
  words.push_back(std::move(word));
  return words;
}

std::wstring MaskCredential(std::wstring_view credential) {
  const size_t shown = credential.size() / 2 < 4 ? credential.size() / 2 : 4;
  std::wstring masked(credential.substr(0, shown));
  masked += L"***(";
  masked += std::to_wstring(credential.size());
  masked += L')';
  return masked;
}

std::wstring CommandLineForLog(std::wstring_view line) {
  const std::vector<CommandWord> words = SplitCommandLine(line);
  if (words.size() < 2 || words[0].text.size() != 1 || words[0].text[0] < L'1' || words[0].text[0] > L'5')
    return std::wstring(line);
  const CommandWord& credential = words[1];
  std::wstring shown(line.substr(0, credential.begin));
  shown += MaskCredential(credential.text);
  shown.append(line.substr(credential.end));
  return shown;
}

std::string EncodeBrokerMessage(std::wstring_view line) {
  std::string text;
  auto put = [&text](uint32_t unit) {
    text += static_cast<char>(unit & 0xFF);
    text += static_cast<char>(unit >> 8);
  };
  for (wchar_t c : line) {
    uint32_t value = static_cast<uint32_t>(c);
    if (value <= 0xFFFF) {
      put(value);
    } else if (value <= 0x10FFFF) {
      value -= 0x10000;
      put(0xD800 | (value >> 10));
      put(0xDC00 | (value & 0x3FF));
    } else {
      put(0xFFFD);
    }
  }
  const uint32_t length = static_cast<uint32_t>(text.size());
  std::string message;
  message.reserve(kBrokerLengthBytes + text.size());
  for (int shift = 0; shift < 32; shift += 8) message += static_cast<char>((length >> shift) & 0xFF);
  message += text;
  return message;
}

uint32_t DecodeBrokerLength(const void* bytes, size_t size, uint32_t* textBytes) {
  if (size != kBrokerLengthBytes) return kErrorInvalidParameter;
  const uint32_t length = ReadLittleEndian32(static_cast<const unsigned char*>(bytes));
  if (length == 0 || length % 2 != 0 || length > kBrokerMessageBytes) return kErrorInvalidParameter;
  *textBytes = length;
  return 0;
}

uint32_t DecodeBrokerText(const void* bytes, size_t size, std::wstring* line) {
  if (size % 2 != 0 || size > kBrokerMessageBytes) return kErrorInvalidParameter;
  const unsigned char* p = static_cast<const unsigned char*>(bytes);
  std::wstring text;
  text.reserve(size / 2);
  for (size_t i = 0; i < size; i += 2) {
    const wchar_t unit = static_cast<wchar_t>(p[i] | p[i + 1] << 8);
    if (unit == 0) return kErrorInvalidParameter;  // the broker's splitter would end the line there
    text += unit;
  }
  *line = std::move(text);
  return 0;
}

uint32_t DecodeBrokerMessage(const void* bytes, size_t size, std::wstring* line) {
  uint32_t length = 0;
  if (size < kBrokerLengthBytes || DecodeBrokerLength(bytes, kBrokerLengthBytes, &length) != 0 ||
      size - kBrokerLengthBytes != length)
    return kErrorInvalidParameter;
  return DecodeBrokerText(static_cast<const unsigned char*>(bytes) + kBrokerLengthBytes, length, line);
}

size_t MinimumCommandWords(std::wstring_view command) {
  if (command == L"1") return 4;
  if (command == L"5") return 5;
  if (command == L"4") return 6;
  if (command == L"2" || command == L"3") return 8;
  return 3;
}

std::wstring RestoreConfigurationQuotes(std::wstring_view word) {
  std::wstring restored(word);
  for (wchar_t& c : restored) {
    if (c == L'`') c = L'"';
  }
  return restored;
}

std::string EncodeStopReply(uint32_t processId) {
  std::string reply;
  for (char digit : std::to_string(processId)) {
    reply += digit;
    reply += '\0';
  }
  return reply;
}

uint32_t DecodeStopReply(const void* bytes, size_t size, uint32_t* processId) {
  if (size < 2 || size > 20 || size % 2 != 0) return kErrorInvalidData;
  const unsigned char* p = static_cast<const unsigned char*>(bytes);
  uint64_t value = 0;
  for (size_t i = 0; i < size; i += 2) {
    if (p[i + 1] != 0 || p[i] < '0' || p[i] > '9') return kErrorInvalidData;
    value = value * 10 + (p[i] - '0');
  }
  if (value > 0xFFFFFFFFull) return kErrorInvalidData;
  *processId = static_cast<uint32_t>(value);
  return 0;
}

std::string EncodeBrokerReply(uint32_t result) {
  const int64_t value = result > 0x7FFFFFFFu ? static_cast<int64_t>(result) - 0x100000000LL : result;
  std::string reply = std::to_string(value);
  reply += '\0';
  return reply;
}

uint32_t DecodeBrokerReply(const void* bytes, size_t size, uint32_t* result) {
  if (size < 2 || size > kBrokerReplyBytes) return kErrorInvalidData;
  const unsigned char* p = static_cast<const unsigned char*>(bytes);
  size_t i = 0;
  const bool negative = p[0] == '-';
  if (negative) ++i;
  const size_t digitsStart = i;
  uint64_t magnitude = 0;
  for (; i < size && p[i] >= '0' && p[i] <= '9'; ++i) {
    magnitude = magnitude * 10 + (p[i] - '0');
    if (magnitude > 0xFFFFFFFFull) return kErrorInvalidData;
  }
  if (i == digitsStart || i != size - 1 || p[i] != 0) return kErrorInvalidData;
  if (negative) {
    if (magnitude > 0x80000000ull) return kErrorInvalidData;
    *result = static_cast<uint32_t>(0x100000000ull - magnitude);
  } else {
    *result = static_cast<uint32_t>(magnitude);
  }
  return 0;
}

}  // namespace kesi::controls
