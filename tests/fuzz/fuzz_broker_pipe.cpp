// The broker pipe's codecs on any bytes. Words made of the input, quoted into a command line, come back
// exactly from the command-line split; the split and the log's masking take any line. A command message
// is accepted only when it is well formed, and then encodes back to the same bytes; a reply is accepted
// only within its size, and its value encodes to a reply that decodes to the same value; so is a stop
// answer's process id.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "BrokerCommand.h"

using namespace kesi::controls;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // UTF-16LE units; 0xFFFF separates words.
  std::wstring text;
  for (size_t i = 0; i + 1 < size; i += 2) text.push_back(static_cast<wchar_t>(data[i] | (data[i + 1] << 8)));
  std::vector<std::wstring> words(1, L"1");
  words.emplace_back();
  for (wchar_t c : text) {
    if (c == 0xFFFF) words.emplace_back();
    else words.back() += c;
  }
  std::wstring line;
  for (const std::wstring& word : words) AppendCommandWord(line, word);
  const std::vector<CommandWord> split = SplitCommandLine(line);
  if (split.size() != words.size()) std::abort();
  for (size_t i = 0; i < split.size(); ++i) {
    if (split[i].text != words[i] || split[i].begin > split[i].end || split[i].end > line.size()) std::abort();
  }
  for (const CommandWord& word : SplitCommandLine(text)) {
    if (word.begin > word.end || word.end > text.size()) std::abort();
  }
  CommandLineForLog(text);

  std::wstring built;
  if (words.size() >= 4 && BuildInterrogationCommand(words[1], words[2], words[3], &built) &&
      built.size() > kBrokerCommandChars)
    std::abort();

  std::wstring decoded = L"unchanged";
  if (DecodeBrokerMessage(data, size, &decoded) == 0) {
    if (EncodeBrokerMessage(decoded) != std::string(reinterpret_cast<const char*>(data), size)) std::abort();
  } else if (decoded != L"unchanged") {
    std::abort();
  }

  uint32_t processId = 0;
  if (DecodeStopReply(data, size, &processId) == 0) {
    const std::string again = EncodeStopReply(processId);
    uint32_t back = ~processId;
    if (DecodeStopReply(again.data(), again.size(), &back) != 0 || back != processId) std::abort();
  }

  uint32_t result = 0;
  if (DecodeBrokerReply(data, size, &result) == 0) {
    if (size > kBrokerReplyBytes) std::abort();
    const std::string again = EncodeBrokerReply(result);
    uint32_t back = ~result;
    if (DecodeBrokerReply(again.data(), again.size(), &back) != 0 || back != result) std::abort();
  }
  return 0;
}
