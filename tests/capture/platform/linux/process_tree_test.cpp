#include "platform/linux/process_tree.hpp"

#include <gtest/gtest.h>

namespace capture {

using namespace platform::proc;

// (Following real processes through their ancestors is checked by the
// application-audio stream scenario, where the player is a shell's child.)
TEST(ProcessTree, ReadsTheParentPastAnyCommandName) {
  EXPECT_EQ(parseParentFromStat("42 (sh) S 7 42 42 0 -1"), 7);
  EXPECT_EQ(parseParentFromStat("42 (a) b (c) S 99 1 1"), 99);  // name with spaces and parentheses
  EXPECT_EQ(parseParentFromStat("1 (init) S 0 1 1"), 0);
  EXPECT_FALSE(parseParentFromStat(""));
  EXPECT_FALSE(parseParentFromStat("42 sh S 7"));
  EXPECT_FALSE(parseParentFromStat("42 (sh) S"));
  EXPECT_FALSE(parseParentFromStat("42 (sh) S x7"));
  EXPECT_FALSE(parseParentFromStat("42 (sh) S -3 1"));
}

}  // namespace capture
