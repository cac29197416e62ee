#pragma once
// Tests of the wipe of secrets: the release function replaced by one that records each block as it goes.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdlib>
#include <vector>

#include "Utf8Buffer.h"

namespace kesi::test {

// Blocks that held a secret, as the release function saw them: their size and whether every byte was
// zero by then. They are still freed.
class RecordedReleases {
 public:
  RecordedReleases() {
    Blocks().clear();
    previous_ = SetSecretRelease(Record);
  }
  ~RecordedReleases() { SetSecretRelease(previous_); }
  RecordedReleases(const RecordedReleases&) = delete;
  RecordedReleases& operator=(const RecordedReleases&) = delete;

  // Whether a block of exactly bytes bytes went, wiped; one of that size that went unwiped fails the test.
  static bool SawWiped(size_t bytes) {
    bool seen = false;
    for (const Block& b : Blocks()) {
      if (b.bytes != bytes) continue;
      EXPECT_TRUE(b.zeroed) << "a block of " << bytes << " bytes was released unwiped";
      seen = seen || b.zeroed;
    }
    return seen;
  }

 private:
  struct Block {
    size_t bytes;
    bool zeroed;
  };
  static std::vector<Block>& Blocks() {
    static std::vector<Block> blocks;
    return blocks;
  }
  static void Record(void* block, size_t bytes) {
    const auto* p = static_cast<const unsigned char*>(block);
    bool zeroed = true;
    for (size_t i = 0; i < bytes; ++i) zeroed = zeroed && p[i] == 0;
    Blocks().push_back({bytes, zeroed});
    std::free(block);
  }

  SecretReleaseFn previous_;
};

}  // namespace kesi::test
