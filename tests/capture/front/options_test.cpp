#include "job/options.hpp"

#include <gtest/gtest.h>

namespace {

std::optional<Options> job(const std::string& members) {
  return decodeOptions(R"({"output":"/tmp/a.mov")" + members + "}");
}

TEST(OptionsDecoding, OnlyOutputDecodesWithEverythingElseAbsent) {
  auto o = decodeOptions(R"({"output":"x.mov"})");
  ASSERT_TRUE(o);
  Options expected;
  expected.output = "x.mov";
  EXPECT_EQ(*o, expected);
}

TEST(OptionsDecoding, EveryFieldDecodes) {
  auto o = decodeOptions(R"({"display":1,"window":2,"output":"o","systemAudio":"a.m4a",
    "fps":60,"showsCursor":true,"excludePids":[1,-2],"scale":1.5,"maxWidth":1920,
    "area":[0,0.5,1,0.25],"audioApps":["com.x","org.y"]})");
  ASSERT_TRUE(o);
  EXPECT_EQ(o->display, 1u);
  EXPECT_EQ(o->window, 2u);
  EXPECT_EQ(o->systemAudio, "a.m4a");
  EXPECT_EQ(o->fps, 60);
  EXPECT_EQ(o->showsCursor, true);
  EXPECT_EQ(o->excludePids, (std::vector<int32_t>{1, -2}));
  EXPECT_EQ(o->scale, 1.5);
  EXPECT_EQ(o->maxWidth, 1920);
  EXPECT_EQ(o->area, (std::vector<double>{0, 0.5, 1, 0.25}));
  EXPECT_EQ(o->audioApps, (std::vector<std::string>{"com.x", "org.y"}));
}

TEST(OptionsDecoding, TopLevelMustBeOneObject) {
  for (const char* text : {"", "[]", R"(["output"])", R"("output")", "3", "null", "true",
                           R"({"output":"a"} {})", R"({"output":"a",})", R"({'output':'a'})",
                           R"({"output":"a"} // c)", "{\"output\":\"\xff\"}"})
    EXPECT_FALSE(decodeOptions(text)) << text;
  EXPECT_TRUE(decodeOptions(" \n{\"output\":\"a\"}\t"));
}

TEST(OptionsDecoding, OutputIsRequiredAndMustBeAString) {
  EXPECT_FALSE(decodeOptions("{}"));
  EXPECT_FALSE(decodeOptions(R"({"output":null})"));
  EXPECT_FALSE(decodeOptions(R"({"output":3})"));
  EXPECT_FALSE(decodeOptions(R"({"Output":"a"})"));
  EXPECT_TRUE(decodeOptions(R"({"output":""})"));
}

TEST(OptionsDecoding, NullLeavesAFieldAbsent) {
  auto o = job(R"(,"display":null,"window":null,"systemAudio":null,"fps":null,
    "showsCursor":null,"excludePids":null,"scale":null,"maxWidth":null,"area":null,
    "audioApps":null)");
  ASSERT_TRUE(o);
  EXPECT_EQ(*o, *job(""));
}

TEST(OptionsDecoding, UnknownAndDifferentlyCasedKeysAreIgnored) {
  auto o = job(R"(,"FPS":"fast","extra":{"deep":[1,{"x":null}]},"Display":-1)");
  ASSERT_TRUE(o);
  EXPECT_FALSE(o->fps);
  EXPECT_FALSE(o->display);
}

TEST(OptionsDecoding, UnsignedThirtyTwoBitIdentifiers) {
  for (const char* key : {"display", "window"}) {
    const std::string k = std::string(",\"") + key + "\":";
    EXPECT_TRUE(job(k + "0")) << key;
    EXPECT_TRUE(job(k + "4294967295")) << key;
    EXPECT_FALSE(job(k + "4294967296")) << key;
    EXPECT_FALSE(job(k + "-1")) << key;
    EXPECT_FALSE(job(k + "\"1\"")) << key;
    EXPECT_FALSE(job(k + "true")) << key;
  }
  EXPECT_EQ(job(R"(,"window":4294967295)")->window, 4294967295u);
}

TEST(OptionsDecoding, SignedSixtyFourBitIntegers) {
  for (const char* key : {"fps", "maxWidth"}) {
    const std::string k = std::string(",\"") + key + "\":";
    auto lowest = job(k + "-9223372036854775808");
    ASSERT_TRUE(lowest) << key;
    EXPECT_EQ(std::string(key) == "fps" ? lowest->fps : lowest->maxWidth, INT64_MIN);
    EXPECT_TRUE(job(k + "9223372036854775807")) << key;
    EXPECT_FALSE(job(k + "9223372036854775808")) << key;
    EXPECT_FALSE(job(k + "-9223372036854775809")) << key;
    EXPECT_FALSE(job(k + "[30]")) << key;
  }
}

TEST(OptionsDecoding, IntegerFieldsTakePlainIntegersOnly) {
  EXPECT_FALSE(job(R"(,"fps":30.5)"));
  EXPECT_FALSE(job(R"(,"fps":30.0)"));
  EXPECT_FALSE(job(R"(,"fps":3e1)"));
  EXPECT_FALSE(job(R"(,"display":1E0)"));
  EXPECT_FALSE(job(R"(,"excludePids":[1.0])"));
  EXPECT_EQ(job(R"(,"fps":-0)")->fps, 0);
}

TEST(OptionsDecoding, ShowsCursorIsABooleanOnly) {
  EXPECT_FALSE(job(R"(,"showsCursor":1)"));
  EXPECT_FALSE(job(R"(,"showsCursor":"true")"));
  EXPECT_EQ(job(R"(,"showsCursor":false)")->showsCursor, false);
}

TEST(OptionsDecoding, ExcludePidsAreSignedThirtyTwoBit) {
  EXPECT_EQ(job(R"(,"excludePids":[])")->excludePids, std::vector<int32_t>{});
  EXPECT_EQ(job(R"(,"excludePids":[-2147483648,2147483647])")->excludePids,
            (std::vector<int32_t>{INT32_MIN, INT32_MAX}));
  EXPECT_FALSE(job(R"(,"excludePids":[2147483648])"));
  EXPECT_FALSE(job(R"(,"excludePids":[-2147483649])"));
  EXPECT_FALSE(job(R"(,"excludePids":[1,null])"));
  EXPECT_FALSE(job(R"(,"excludePids":5)"));
}

TEST(OptionsDecoding, ScaleAndAreaTakeAnyNumber) {
  EXPECT_EQ(job(R"(,"scale":2)")->scale, 2.0);
  EXPECT_EQ(job(R"(,"scale":-1e300)")->scale, -1e300);
  EXPECT_FALSE(job(R"(,"scale":"2")"));
  EXPECT_FALSE(job(R"(,"scale":1e400)"));
  EXPECT_EQ(job(R"(,"area":[0.1,0.2,0.3])")->area, (std::vector<double>{0.1, 0.2, 0.3}));
  EXPECT_EQ(job(R"(,"area":[])")->area, std::vector<double>{});
  EXPECT_FALSE(job(R"(,"area":[0.1,"x"])"));
  EXPECT_FALSE(job(R"(,"area":{"x":1})"));
}

TEST(OptionsDecoding, AudioAppsAreStrings) {
  EXPECT_EQ(job(R"(,"audioApps":["a","é/漢"])")->audioApps,
            (std::vector<std::string>{"a", "é/漢"}));
  EXPECT_FALSE(job(R"(,"audioApps":["a",1])"));
  EXPECT_FALSE(job(R"(,"audioApps":"a")"));
}

TEST(OptionsDecoding, OneBadKeyFailsTheWholeJob) {
  EXPECT_FALSE(job(R"(,"fps":30,"maxWidth":"wide","scale":1)"));
  EXPECT_FALSE(decodeOptions(R"({"display":-5})"));  // also no output
}

}  // namespace
