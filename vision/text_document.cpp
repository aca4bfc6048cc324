#include "text_document.hpp"

#include <nlohmann/json.hpp>

#include "words.hpp"

namespace vision {

namespace {

using nlohmann::json;

// Fractions of the image with the origin moved to the top-left corner.
void putRect(json& object, const NormalizedRect& r) {
  object["x"] = r.x;
  object["y"] = 1.0 - (r.y + r.height);
  object["w"] = r.width;
  object["h"] = r.height;
}

json lineEntry(const RecognizedLine& line) {
  json words = json::array();
  for (const Word& word : splitWords(line.text)) {
    const std::optional<NormalizedRect> box = rangeBoundingBox(line, word.byteBegin, word.byteEnd);
    if (!box) continue;
    json entry = {{"text", std::string(word.text)}, {"offset", word.offset}};
    putRect(entry, *box);
    words.push_back(std::move(entry));
  }
  return json{{"text", line.text}, {"words", std::move(words)}};
}

}  // namespace

std::string textDocument(const std::vector<RecognizedLine>& lines,
                         const std::vector<NormalizedRect>& faces) {
  json document = {{"lines", json::array()}, {"faces", json::array()}};
  for (const RecognizedLine& line : lines) document["lines"].push_back(lineEntry(line));
  for (const NormalizedRect& face : faces) {
    json entry = json::object();
    putRect(entry, face);
    document["faces"].push_back(std::move(entry));
  }
  try {
    return document.dump();
  } catch (const json::exception&) {
    return "{}";
  }
}

}  // namespace vision
