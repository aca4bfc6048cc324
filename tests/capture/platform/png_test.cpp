#include "platform/png.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

namespace capture {

namespace {

// A name as long as the file system allows is written, and nothing else is
// left in the directory.
TEST(WritePng, LongestNameFitsAndLeavesNothingElse) {
  const auto dir =
      std::filesystem::temp_directory_path() / ("orvik-png-" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  const auto target = dir / (std::string(251, 'a') + ".png");
  EXPECT_TRUE(platform::writePng(target, {2, 1, 8, std::vector<uint8_t>(8, 0x80)}));
  EXPECT_GT(std::filesystem::file_size(target), 8u);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir), {}), 1);
  std::filesystem::remove_all(dir);
}

}  // namespace

}  // namespace capture
