#include "command_line.hpp"

#include <gtest/gtest.h>

#include <limits>

namespace {

TEST(ParseInteger, AcceptsSignsDigitsAndLeadingZeros) {
  EXPECT_EQ(parseInteger("64"), 64);
  EXPECT_EQ(parseInteger("+64"), 64);
  EXPECT_EQ(parseInteger("00064"), 64);
  EXPECT_EQ(parseInteger("-16"), -16);
  EXPECT_EQ(parseInteger("-0"), 0);
  EXPECT_EQ(parseInteger("9223372036854775807"), std::numeric_limits<int64_t>::max());
  EXPECT_EQ(parseInteger("-9223372036854775808"), std::numeric_limits<int64_t>::min());
  EXPECT_EQ(parseInteger("000000000000000000000000000042"), 42);
}

TEST(ParseInteger, RefusesAnythingElse) {
  for (const char* text : {"", "+", "-", " 64", "64 ", "64px", "0x40", "1_000", "1,000", "+-1",
                           "--1", "6 4", "\xd9\xa6", "9223372036854775808",
                           "-9223372036854775809", "123456789012345678901234567890"})
    EXPECT_FALSE(parseInteger(text)) << text;
}

TEST(CommandLine, SizesAreCheckedBeforeTheModeWord) {
  using Kind = Request::Kind;
  EXPECT_EQ(readCommandLine({"check"}).kind, Kind::check);
  EXPECT_EQ(readCommandLine({"check", "x"}).kind, Kind::usage);
  EXPECT_EQ(readCommandLine({}).kind, Kind::usage);
  EXPECT_EQ(readCommandLine({"faces"}).kind, Kind::usage);
  EXPECT_EQ(readCommandLine({"faces", "64", "64", "1"}).kind, Kind::usage);
  EXPECT_EQ(readCommandLine({"blur", "8", "8"}).kind, Kind::usage);
  EXPECT_EQ(readCommandLine({"blur", "64", "x"}).kind, Kind::usage);
  EXPECT_EQ(readCommandLine({"faces", "15", "64"}).kind, Kind::usage);
  EXPECT_EQ(readCommandLine({"faces", "64", "4097"}).kind, Kind::usage);
  EXPECT_EQ(readCommandLine({"faces", "-16", "64"}).kind, Kind::usage);

  const Request unknown = readCommandLine({"Faces", "64", "64"});
  EXPECT_EQ(unknown.kind, Kind::unknownMode);
  EXPECT_EQ(unknown.mode, "Faces");

  const Request request = readCommandLine({"text", "16", "4096"});
  EXPECT_EQ(request.kind, Kind::analyse);
  EXPECT_EQ(request.mode, "text");
  EXPECT_EQ(request.width, 16);
  EXPECT_EQ(request.height, 4096);
}

}  // namespace
