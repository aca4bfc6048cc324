// The build embeds this very file; its bytes must come back unchanged.
#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>

#include "embed_test_self.h"

TEST(EmbedFile, BytesSizeAndAlignmentMatchTheFile) {
  std::ifstream file(EMBED_TEST_SOURCE, std::ios::binary);
  ASSERT_TRUE(file);
  const std::string expected{std::istreambuf_iterator<char>(file), {}};
  ASSERT_EQ(embed_test_self_size, expected.size());
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(embed_test_self), embed_test_self_size),
            expected);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(embed_test_self) % 64, 0u);
}
