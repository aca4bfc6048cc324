#include "job/options.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include <nlohmann/json.hpp>

namespace {

TEST(OptionsDecoding, EveryFieldDecodesAndNullOrUnknownKeysLeaveFieldsAbsent) {
  auto o = decodeOptions(R"({"display":1,"window":4294967295,"output":"o","systemAudio":"a.m4a",
    "fps":-9223372036854775808,"showsCursor":false,"excludePids":[-2147483648,2147483647],
    "scale":-1e300,"maxWidth":1920,"area":[0,0.5,1],"audioApps":["com.x","é/漢"]})");
  EXPECT_EQ(o,
            (Options{1, 4294967295u, "o", "a.m4a", INT64_MIN, false,
                     std::vector<int32_t>{INT32_MIN, INT32_MAX}, -1e300, 1920,
                     std::vector<double>{0, 0.5, 1}, std::vector<std::string>{"com.x", "é/漢"}}));

  Options only;
  only.output = "x";
  for (const char* text : {R"({"output":"x"})", R"( {"output":"x","FPS":"fast","Display":-1,
      "extra":{"d":[1,null]},"display":null,"window":null,"systemAudio":null,"fps":null,
      "showsCursor":null,"excludePids":null,"scale":null,"maxWidth":null,"area":null,
      "audioApps":null})"})
    EXPECT_EQ(decodeOptions(text), only) << text;
}

// Refused: the text is not one object, "output" is wrong, or one field (even
// after good ones) has the wrong type or is out of its range.
TEST(OptionsDecoding, RefusedJobs) {
  for (const char* text :
       {"", "[]", "3", R"({"output":"a"} {})", R"({"output":"a",})", R"({'output':'a'})",
        R"({"output":"a"} // c)", "{\"output\":\"\xff\"}", "{}", R"({"output":null})",
        R"({"output":3})", R"({"Output":"a"})", R"({"display":-5})"})
    EXPECT_FALSE(decodeOptions(text)) << text;
  for (const char* members : {R"("display":4294967296)",
                              R"("window":-1)",
                              R"("display":"1")",
                              R"("window":true)",
                              R"("fps":9223372036854775808)",
                              R"("maxWidth":-9223372036854775809)",
                              R"("fps":[30])",
                              R"("fps":30.0)",
                              R"("fps":3e1)",
                              R"("display":1E0)",
                              R"("showsCursor":1)",
                              R"("showsCursor":"true")",
                              R"("excludePids":[1.0])",
                              R"("excludePids":[2147483648])",
                              R"("excludePids":[1,null])",
                              R"("excludePids":5)",
                              R"("scale":"2")",
                              R"("scale":1e400)",
                              R"("area":[0.1,"x"])",
                              R"("area":{"x":1})",
                              R"("audioApps":["a",1])",
                              R"("audioApps":"a")",
                              R"("fps":30,"maxWidth":"wide","scale":1)"})
    EXPECT_FALSE(decodeOptions(std::string(R"({"output":"a",)") + members + "}")) << members;
}

// Replays the fuzzer's corpus: every input found interesting once stays a
// regression case, checked under the sanitizers.
TEST(OptionsDecoding, FuzzCorpusDecodesConsistentlyOrIsRefused) {
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
    EXPECT_EQ(nlohmann::json::parse(text).at("output"), options->output) << entry.path();
  }
  EXPECT_GT(decoded, 0);
  EXPECT_GT(refused, 0);
}

}  // namespace
