#include "job/options.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

#include <nlohmann/json.hpp>

namespace capture {

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
  // Members, separated by spaces, that refuse a job whatever came before them.
  std::istringstream refused(R"("display":4294967296 "window":-1 "display":"1" "window":true
    "fps":9223372036854775808 "maxWidth":-9223372036854775809 "fps":[30] "fps":30.0 "fps":3e1
    "display":1E0 "showsCursor":1 "showsCursor":"true" "excludePids":[1.0] "excludePids":5
    "excludePids":[2147483648] "excludePids":[1,null] "scale":"2" "scale":1e400 "area":[0.1,"x"]
    "area":{"x":1} "audioApps":["a",1] "audioApps":"a" "fps":30,"maxWidth":"wide","scale":1)");
  for (std::string members; refused >> members;)
    EXPECT_FALSE(decodeOptions(std::string(R"({"output":"a",)") + members + "}")) << members;
}

// Replays the fuzzer's corpus: every input found interesting once stays a
// regression case, checked under the sanitizers.
TEST(OptionsDecoding, FuzzCorpusDecodesConsistentlyOrIsRefused) {
  const std::filesystem::path corpus = ORVIK_OPTIONS_CORPUS;
  ASSERT_TRUE(std::filesystem::is_directory(corpus)) << corpus;
  int decoded[2] = {0, 0};  // refused, decoded
  for (const auto& entry : std::filesystem::directory_iterator(corpus)) {
    std::ifstream in(entry.path(), std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const auto options = decodeOptions(text);
    ++decoded[options.has_value()];
    EXPECT_TRUE(!options || nlohmann::json::parse(text).at("output") == options->output) << entry;
  }
  EXPECT_TRUE(decoded[0] > 0 && decoded[1] > 0);
}

}  // namespace

}  // namespace capture
