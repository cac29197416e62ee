// The arithmetic of a service group's load-order list: a count, then that many tags.
#include <gtest/gtest.h>

#include <initializer_list>
#include <vector>

#include "GroupOrder.h"

namespace kesi {
namespace {

// Little-endian 32-bit words as the value's bytes; the first word is the count.
std::vector<uint8_t> Words(std::initializer_list<uint32_t> words) {
  std::vector<uint8_t> bytes;
  for (uint32_t w : words)
    for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<uint8_t>(w >> (8 * i)));
  return bytes;
}

TEST(GroupOrder, InsertsAfterTheGroupsDriver) {
  struct Case {
    const char* name;
    std::vector<uint8_t> value;
    uint32_t after, tag;
    uint32_t expected;
    std::vector<uint8_t> result;  // the value afterwards; changed when it differs from value
  };
  const Case cases[] = {
      {"after the driver's tag", Words({3, 1, 2, 3}), 2, 9, 0, Words({4, 1, 2, 9, 3})},
      {"after the last tag", Words({2, 1, 2}), 2, 9, 0, Words({3, 1, 2, 9})},
      {"already listed", Words({3, 1, 9, 2}), 2, 9, 0, Words({3, 1, 9, 2})},
      {"driver's tag not listed", Words({2, 1, 3}), 2, 9, 0, Words({2, 1, 3})},
      {"driver's tag only behind the count", Words({1, 1, 2}), 2, 9, 0, Words({1, 1, 2})},
      {"bytes behind the count stay behind", Words({1, 2, 7}), 2, 9, 0, Words({2, 2, 9, 7})},
      {"tag 0 is never inserted", Words({2, 1, 2}), 2, 0, 0, Words({2, 1, 2})},
      {"no driver tag (0) is never looked for", Words({2, 0, 2}), 0, 9, 0, Words({2, 0, 2})},
      {"count larger than the value", Words({4, 1, 2, 3}), 2, 9, 13, Words({4, 1, 2, 3})},
      {"count 2^30, whose bytes overflow 32 bits", Words({0x40000000, 2}), 2, 9, 13, Words({0x40000000, 2})},
      {"shorter than a count", {1, 0, 0}, 2, 9, 13, {1, 0, 0}},
      {"empty value", {}, 2, 9, 13, {}},
      {"empty list", Words({0}), 2, 9, 0, Words({0})},
      {"a part of a tag behind the count", {1, 0, 0, 0, 2, 0, 0, 0, 5}, 2, 9, 0, {2, 0, 0, 0, 2, 0, 0, 0, 9, 0, 0, 0, 5}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<uint8_t> value = c.value;
    bool changed = true;
    EXPECT_EQ(InsertGroupTag(&value, c.after, c.tag, &changed), c.expected);
    EXPECT_EQ(value, c.result);
    EXPECT_EQ(changed, c.result != c.value);
  }
}

TEST(GroupOrder, RemovesATagButNeverTheDriversOrZero) {
  struct Case {
    const char* name;
    std::vector<uint8_t> value;
    uint32_t tag, keep;
    uint32_t expected;
    std::vector<uint8_t> result;
  };
  const Case cases[] = {
      {"middle tag", Words({3, 1, 9, 2}), 9, 1, 0, Words({2, 1, 2})},
      {"last tag", Words({3, 1, 2, 9}), 9, 1, 0, Words({2, 1, 2})},
      {"only the first of two", Words({3, 9, 1, 9}), 9, 1, 0, Words({2, 1, 9})},
      {"absent", Words({2, 1, 2}), 9, 1, 0, Words({2, 1, 2})},
      {"only behind the count", Words({1, 1, 9}), 9, 1, 0, Words({1, 1, 9})},
      {"the group driver's own tag", Words({2, 1, 9}), 9, 9, 0, Words({2, 1, 9})},
      {"tag 0 is never removed", Words({2, 0, 1}), 0, 1, 0, Words({2, 0, 1})},
      {"count larger than the value", Words({3, 1, 9}), 9, 1, 13, Words({3, 1, 9})},
      {"count 2^30", Words({0x40000000, 9}), 9, 1, 13, Words({0x40000000, 9})},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<uint8_t> value = c.value;
    bool changed = true;
    EXPECT_EQ(RemoveGroupTag(&value, c.tag, c.keep, &changed), c.expected);
    EXPECT_EQ(value, c.result);
    EXPECT_EQ(changed, c.result != c.value);
  }
}

TEST(GroupOrder, CountsOnlyWhatTheValueHolds) {
  uint32_t count = 77;
  const std::vector<uint8_t> three = Words({3, 1, 2, 3});
  EXPECT_EQ(CountGroupTags(three.data(), three.size(), &count), 0u);
  EXPECT_EQ(count, 3u);
  count = 77;
  EXPECT_EQ(CountGroupTags(three.data(), three.size() - 1, &count), 13u);
  EXPECT_EQ(count, 77u);
  EXPECT_EQ(CountGroupTags(nullptr, 0, &count), 13u);
}

}  // namespace
}  // namespace kesi
