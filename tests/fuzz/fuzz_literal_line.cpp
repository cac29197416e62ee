// libFuzzer target: the split of an interrogation literal line (the quote-aware tokenizer). Input bytes
// are taken two at a time as UTF-16 code units, as the line arrives from the appliance.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "LiteralLine.h"

namespace {

bool Inside(const wchar_t* p, const std::vector<wchar_t>& buffer) {
  return p >= buffer.data() && p < buffer.data() + buffer.size();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<wchar_t> line;
  line.reserve(size / 2 + 1);
  for (size_t i = 0; i + 1 < size; i += 2) line.push_back(static_cast<wchar_t>(data[i] | (data[i + 1] << 8)));
  line.push_back(0);

  kesi::LiteralLineFields fields;
  kesi::SplitLiteralLine(line.data(), &fields);
  // Every field lies inside the line and ends within it.
  for (const wchar_t* field : {fields.id, fields.kind, fields.result, fields.rest}) {
    if (!field) continue;
    if (!Inside(field, line)) __builtin_trap();
    const wchar_t* end = field;
    while (Inside(end, line) && *end) ++end;
    if (!Inside(end, line)) __builtin_trap();
  }
  if (fields.rest && !fields.result) __builtin_trap();

  // The tokenizer alone over the same text with two delimiters, without skipping.
  std::vector<wchar_t> copy(line);
  wchar_t* context = nullptr;
  for (wchar_t* t = kesi::QuotedToken(copy.data(), L",;", (size & 1) != 0, &context); context && *context;
       t = kesi::QuotedToken(nullptr, L",;", (size & 1) != 0, &context)) {
    if (t && !Inside(t, copy)) __builtin_trap();
  }
  return 0;
}
