#include "text_document.hpp"
#include "platform/text_recognizer.hpp"

#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace vision {
namespace {

using nlohmann::json;

// A line whose every non-space byte is one symbol; box i spans x = i/100.
RecognizedLine lineOf(const std::string& text) {
  RecognizedLine line{text, {}};
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == ' ') continue;
    line.symbols.push_back({i, i + 1, NormalizedRect{i / 100.0, 0.5, 0.01, 0.25}});
  }
  return line;
}

TEST(RangeBoundingBox, UnitesTheSymbolsTheRangeTouches) {
  RecognizedLine line{"ab c", {}};
  line.symbols = {
      {0, 1, {0.1, 0.2, 0.1, 0.1}}, {1, 2, {0.25, 0.15, 0.05, 0.3}}, {3, 4, {0.5, 0.2, 0.1, 0.1}}};
  const auto ab = rangeBoundingBox(line, 0, 2);
  ASSERT_TRUE(ab);
  EXPECT_DOUBLE_EQ(ab->x, 0.1);
  EXPECT_DOUBLE_EQ(ab->y, 0.15);
  EXPECT_DOUBLE_EQ(ab->width, 0.2);
  EXPECT_DOUBLE_EQ(ab->height, 0.3);
  // The space has no symbol; a range holding only it has no box.
  EXPECT_FALSE(rangeBoundingBox(line, 2, 3));
  EXPECT_FALSE(rangeBoundingBox(line, 4, 9));
  // A range that cuts into a multi-byte symbol still touches it.
  RecognizedLine accent{"\xC3\xA9", {{0, 2, {0.3, 0.3, 0.1, 0.1}}}};
  EXPECT_TRUE(rangeBoundingBox(accent, 1, 2));
}

TEST(TextDocument, LinesWordsAndFacesWithTopLeftBoxes) {
  RecognizedLine summer = lineOf("\u00E9t\u00E9 hot sun");
  // Forget the boxes of "hot" (bytes 6..8): the word goes, later offsets stay.
  std::erase_if(summer.symbols,
                [](const TextSymbol& s) { return s.byteBegin >= 6 && s.byteBegin < 9; });
  const std::vector<NormalizedRect> faces = {{0.1, 0.2, 0.3, 0.4}, {1.0 / 3.0, 0.0, 0.125, 1.2}};
  const std::string text =
      textDocument({lineOf("  Hello   world "), summer, lineOf(""), lineOf(" \t ")}, faces);
  const json doc = json::parse(text);
  ASSERT_EQ(doc["lines"].size(), 4U);

  const json& hello = doc["lines"][0]["words"][0];
  EXPECT_EQ(doc["lines"][0]["text"], "  Hello   world ");
  EXPECT_EQ(hello["text"], "Hello");
  EXPECT_TRUE(hello["offset"].is_number_integer());
  EXPECT_EQ(hello["offset"], 2);
  EXPECT_DOUBLE_EQ(hello["x"].get<double>(), 0.02);
  EXPECT_DOUBLE_EQ(hello["w"].get<double>(), 0.05);
  EXPECT_DOUBLE_EQ(hello["y"].get<double>(), 0.25);  // 1 − (0.5 + 0.25)
  EXPECT_DOUBLE_EQ(hello["h"].get<double>(), 0.25);
  EXPECT_EQ(doc["lines"][0]["words"][1]["offset"], 10);

  const json& words = doc["lines"][1]["words"];
  ASSERT_EQ(words.size(), 2U);
  EXPECT_EQ(words[0]["text"], "\u00E9t\u00E9");
  EXPECT_EQ(words[1]["text"], "sun");
  EXPECT_EQ(words[1]["offset"], 8);
  EXPECT_EQ(doc["lines"][2], json::parse(R"({"text":"","words":[]})"));
  EXPECT_EQ(doc["lines"][3], json::parse(R"({"text":" \t ","words":[]})"));

  // Every face, in order, at full precision; above the top y is negative.
  ASSERT_EQ(doc["faces"].size(), 2U);
  EXPECT_EQ(doc["faces"][0]["h"].get<double>(), 0.4);
  EXPECT_EQ(doc["faces"][1]["x"].get<double>(), 1.0 / 3.0);
  EXPECT_EQ(doc["faces"][1]["y"].get<double>(), 1.0 - 1.2);
}

TEST(TextDocument, EmptyAndUnserialisableDocuments) {
  EXPECT_EQ(textDocument({}, {}), R"({"faces":[],"lines":[]})");
  EXPECT_EQ(textDocument({lineOf("caf\xC3")}, {}), "{}");
}

TEST(TextRecognizer, AnUnreadableModelIsAnErrorAndNothingOnStandardError) {
  std::vector<uint8_t> pixels(32 * 32 * 4, 255);
  TextRecognizer recognizer("/nonexistent");
  testing::internal::CaptureStderr();
  EXPECT_THROW(recognizer.recognize(PixelBuffer{32, 32, 32 * 4, pixels.data(), {}}), VisionError);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

}  // namespace
}  // namespace vision
