#include "GroupOrder.h"

namespace kesi {
namespace {

uint32_t ReadLe32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}

void WriteLe32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v >> 16);
  p[3] = static_cast<uint8_t>(v >> 24);
}

// Index of tag among the count tags, or count when it is absent.
uint32_t FindTag(const std::vector<uint8_t>& value, uint32_t count, uint32_t tag) {
  for (uint32_t i = 0; i < count; ++i)
    if (ReadLe32(value.data() + 4 + 4 * static_cast<size_t>(i)) == tag) return i;
  return count;
}

}  // namespace

uint32_t CountGroupTags(const uint8_t* value, size_t size, uint32_t* count) {
  if (!value || size < 4) return kErrorInvalidData;
  const uint32_t n = ReadLe32(value);
  if (n > (size - 4) / 4) return kErrorInvalidData;
  *count = n;
  return 0;
}

uint32_t InsertGroupTag(std::vector<uint8_t>* value, uint32_t afterTag, uint32_t tag, bool* changed) {
  *changed = false;
  uint32_t count = 0;
  if (uint32_t error = CountGroupTags(value->data(), value->size(), &count)) return error;
  if (tag == 0 || afterTag == 0) return 0;
  const uint32_t after = FindTag(*value, count, afterTag);
  if (after == count || FindTag(*value, count, tag) != count) return 0;
  uint8_t bytes[4];
  WriteLe32(bytes, tag);
  const size_t at = 4 + 4 * (static_cast<size_t>(after) + 1);
  value->insert(value->begin() + static_cast<std::ptrdiff_t>(at), bytes, bytes + 4);
  WriteLe32(value->data(), count + 1);
  *changed = true;
  return 0;
}

uint32_t RemoveGroupTag(std::vector<uint8_t>* value, uint32_t tag, uint32_t keepTag, bool* changed) {
  *changed = false;
  uint32_t count = 0;
  if (uint32_t error = CountGroupTags(value->data(), value->size(), &count)) return error;
  if (tag == 0 || tag == keepTag) return 0;
  const uint32_t index = FindTag(*value, count, tag);
  if (index == count) return 0;
  const size_t at = 4 + 4 * static_cast<size_t>(index);
  value->erase(value->begin() + static_cast<std::ptrdiff_t>(at), value->begin() + static_cast<std::ptrdiff_t>(at + 4));
  WriteLe32(value->data(), count - 1);
  *changed = true;
  return 0;
}

}  // namespace kesi
