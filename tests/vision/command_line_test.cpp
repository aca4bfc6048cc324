#include "command_line.hpp"

#include <gtest/gtest.h>

#include <limits>

namespace vision {
namespace {

TEST(ParseInteger, SignsDigitsLeadingZerosAndTheLimits) {
  constexpr auto lowest = std::numeric_limits<int64_t>::min();
  constexpr auto highest = std::numeric_limits<int64_t>::max();
  const std::pair<const char*, std::optional<int64_t>> cases[] = {
      {"64", 64},
      {"+64", 64},
      {"00064", 64},
      {"-16", -16},
      {"-0", 0},
      {"000000000000000000000000000042", 42},
      {"9223372036854775807", highest},
      {"-9223372036854775808", lowest},
      {"9223372036854775808", {}},
      {"-9223372036854775809", {}},
      {"123456789012345678901234567890", {}},
      {"", {}},
      {"+", {}},
      {"-", {}},
      {" 64", {}},
      {"64 ", {}},
      {"64px", {}},
      {"0x40", {}},
      {"1e2", {}},
      {"+-1", {}},
      {"--1", {}},
      {"6 4", {}},
      {"6\xd9\xa4", {}}};
  for (const auto& [text, value] : cases) EXPECT_EQ(parseInteger(text), value) << text;
}

TEST(CommandLine, SizesAreCheckedBeforeTheModeWord) {
  using Kind = Request::Kind;
  const std::pair<std::vector<std::string>, Kind> cases[] = {
      {{"check"}, Kind::check},
      {{"check", "x"}, Kind::usage},
      {{}, Kind::usage},
      {{"faces"}, Kind::usage},
      {{"faces", "64", "64", "1"}, Kind::usage},
      {{"blur", "8", "8"}, Kind::usage},
      {{"blur", "64", "x"}, Kind::usage},
      {{"faces", "15", "64"}, Kind::usage},
      {{"faces", "64", "4097"}, Kind::usage},
      {{"faces", "-16", "64"}, Kind::usage},
      {{"Faces", "64", "64"}, Kind::unknownMode},
      {{"segment", "4096", "16"}, Kind::analyse},
  };
  for (const auto& [arguments, kind] : cases)
    EXPECT_EQ(readCommandLine(arguments).kind, kind) << ::testing::PrintToString(arguments);

  EXPECT_EQ(readCommandLine({"Faces", "64", "64"}).mode, "Faces");
  const Request request = readCommandLine({"text", "16", "4096"});
  EXPECT_EQ(request.mode, "text");
  EXPECT_EQ(request.width, 16);
  EXPECT_EQ(request.height, 4096);
}

}  // namespace
}  // namespace vision
