// libFuzzer target: the configuration text of the configuration-file route (section walk, MAC value,
// literal lines and their fields) and the XML text of the result document. Input bytes are taken two at a
// time as UTF-16 code units, as the text stands after its UTF-8 conversion.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <vector>

#include "ConfigText.h"

namespace {

bool Inside(const wchar_t* p, size_t length, const std::vector<wchar_t>& text) {
  return p >= text.data() && p + length <= text.data() + text.size() - 1;
}

// The XML text holds no "<", no "]]>", and every "&" opens one of the three references written.
void CheckXml(const wchar_t* xml, size_t length) {
  for (size_t i = 0; i < length; ++i) {
    if (xml[i] == L'<') __builtin_trap();
    if (xml[i] == L'>' && i >= 2 && xml[i - 1] == L']' && xml[i - 2] == L']') __builtin_trap();
    if (xml[i] == L'&' && wcsncmp(xml + i, L"&amp;", 5) != 0 && wcsncmp(xml + i, L"&lt;", 4) != 0 &&
        wcsncmp(xml + i, L"&gt;", 4) != 0)
      __builtin_trap();
    uint32_t c = static_cast<uint32_t>(xml[i]);
    if (c < 0x20 && c != L'\t' && c != L'\n' && c != L'\r') __builtin_trap();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<wchar_t> text;
  text.reserve(size / 2 + 1);
  for (size_t i = 0; i + 1 < size; i += 2) {
    wchar_t c = static_cast<wchar_t>(data[i] | (data[i + 1] << 8));
    if (c == 0) break;  // the configuration text ends at its terminator
    text.push_back(c);
  }
  text.push_back(0);

  kesi::TextSpan value, section;
  if (kesi::FindConfigMacValue(text.data(), &value) && !Inside(value.text, value.length, text)) __builtin_trap();
  if (!kesi::FindLiteralSection(text.data(), &section)) return 0;
  if (!Inside(section.text, section.length, text) || section.length == 0 || section.text[0] != L'[') __builtin_trap();

  // The protected text, as the parser reads it: each literal line's fields, and its document entry.
  std::vector<wchar_t> copy(section.text, section.text + section.length);
  copy.push_back(0);
  kesi::WideTextBuffer document;
  const wchar_t* cursor = copy.data();
  kesi::ConfigLine line;
  kesi::NextConfigLine(&cursor, &line);
  while (kesi::NextConfigLine(&cursor, &line)) {
    if (!Inside(line.whole.text, line.whole.length, copy) || line.body.length > line.whole.length) __builtin_trap();
    kesi::TextSpan literal;
    if (!kesi::LiteralLineText(line, &literal)) continue;
    std::vector<wchar_t> fields(literal.text, literal.text + literal.length);
    fields.push_back(0);
    kesi::ConfigLiteralFields parts;
    kesi::SplitConfigLiteral(fields.data(), &parts);
    for (const wchar_t* field : {parts.kind, parts.id, parts.parameters})
      if (field && !Inside(field, wcslen(field), fields)) __builtin_trap();

    kesi::WideTextBuffer xml;
    if (!kesi::AppendXmlText(&xml, parts.id ? parts.id : L"", parts.id ? wcslen(parts.id) : 0, false) ||
        !kesi::AppendXmlText(&xml, literal.text, literal.length, true))
      __builtin_trap();
    CheckXml(xml.Text(), xml.Length());

    kesi::EpcLiteralEntry entry;
    entry.id = parts.id;
    entry.description = literal.text;
    entry.descriptionLength = literal.length;
    if (!kesi::AppendEpcLiteral(&document, entry)) __builtin_trap();
  }

  std::unique_ptr<char[]> mac = kesi::ComputeConfigMac(data, size);
  if (!mac || std::strlen(mac.get()) != 28) __builtin_trap();
  return 0;
}
