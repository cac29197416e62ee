#pragma once
// The load-order list of a service group, as the registry keeps it (GroupOrderList, binary): a 32-bit
// count, then that many 32-bit tags, little-endian. The list is read from the registry and written back
// by the caller; these functions only do its arithmetic, on the value's bytes.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "ErrorCodes.h"

namespace kesi {

// The count the value holds. Returns 0, or kErrorInvalidData (13) when the value is shorter than the count
// or announces more tags than its bytes hold (count > (size - 4) / 4).
uint32_t CountGroupTags(const uint8_t* value, size_t size, uint32_t* count);

// Inserts tag directly after afterTag and raises the count, when afterTag is in the list and tag is not.
// Tag 0 means "no tag": it is never inserted, and an afterTag of 0 is never looked for. changed tells the
// caller whether to write the value back. Returns 0, or 13 for a value that CountGroupTags refuses (then
// nothing changes). Bytes behind the counted tags stay behind them.
uint32_t InsertGroupTag(std::vector<uint8_t>* value, uint32_t afterTag, uint32_t tag, bool* changed);

// Removes the first occurrence of tag, shifting the later tags down and lowering the count, unless tag is
// 0 or equals keepTag (the tag that the group's own driver holds). Returns as InsertGroupTag.
uint32_t RemoveGroupTag(std::vector<uint8_t>* value, uint32_t tag, uint32_t keepTag, bool* changed);

}  // namespace kesi
