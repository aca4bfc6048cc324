#pragma once
// The text-recognition service: Tesseract's LSTM engine on one frame.
#include <memory>
#include <string>
#include <vector>

#include "pixel_buffer.hpp"
#include "platform/recognized_text.hpp"

namespace tesseract {
class TessBaseAPI;
}

namespace vision {

// The engine with Debian's English model, loaded on the first frame and kept.
// Nothing the engine or its image library prints reaches standard error.
class TextRecognizer {
 public:
  TextRecognizer();
  // The same with the English model read from `modelDirectory`.
  explicit TextRecognizer(std::string modelDirectory);
  ~TextRecognizer();
  TextRecognizer(const TextRecognizer&) = delete;
  TextRecognizer& operator=(const TextRecognizer&) = delete;

  // The frame's text lines in reading order, each with its best string.
  // Throws VisionError when the engine cannot be loaded or recognition fails.
  std::vector<RecognizedLine> recognize(const PixelBuffer& buffer);

 private:
  std::string modelDirectory_;
  std::unique_ptr<tesseract::TessBaseAPI> engine_;
};

}  // namespace vision
