// Replays the fuzzer's corpus through the job decoder: every input found
// interesting once stays a regression case, checked under the sanitizers.
#include "job/options.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include <nlohmann/json.hpp>

namespace {

TEST(OptionsCorpus, EveryInputDecodesConsistentlyOrIsRefused) {
  const std::filesystem::path corpus = ORVIK_OPTIONS_CORPUS;
  ASSERT_TRUE(std::filesystem::is_directory(corpus)) << corpus;
  int decoded = 0, refused = 0;
  for (const auto& entry : std::filesystem::directory_iterator(corpus)) {
    std::ifstream in(entry.path(), std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const auto options = decodeOptions(text);
    if (!options) {
      ++refused;
      continue;
    }
    ++decoded;
    const auto json = nlohmann::json::parse(text);
    EXPECT_EQ(json.at("output").get<std::string>(), options->output) << entry.path();
  }
  EXPECT_GT(decoded, 0);
  EXPECT_GT(refused, 0);
}

}  // namespace
