// The group-order arithmetic on any value: it never reads outside the value, a refused value is left as
// it was, and a changed value holds one tag more (insert) or less (remove) with a count that fits it.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "GroupOrder.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 8) return 0;
  const uint32_t after = data[0] | data[1] << 8;
  const uint32_t tag = data[2] | data[3] << 8;
  const bool insert = data[4] & 1;
  // The value is exactly the rest of the input, so that a read past it is caught.
  std::vector<uint8_t> value(data + 5, data + size);
  const std::vector<uint8_t> before = value;
  uint32_t countBefore = 0;
  const uint32_t valid = kesi::CountGroupTags(value.data(), value.size(), &countBefore);
  bool changed = false;
  const uint32_t result = insert ? kesi::InsertGroupTag(&value, after, tag, &changed)
                                 : kesi::RemoveGroupTag(&value, tag, after, &changed);
  if (result != valid) std::abort();
  if (!changed) {
    if (value != before) std::abort();
    return 0;
  }
  if (tag == 0) std::abort();
  uint32_t countAfter = 0;
  if (kesi::CountGroupTags(value.data(), value.size(), &countAfter)) std::abort();
  if (countAfter != (insert ? countBefore + 1 : countBefore - 1)) std::abort();
  if (value.size() != (insert ? before.size() + 4 : before.size() - 4)) std::abort();
  return 0;
}
