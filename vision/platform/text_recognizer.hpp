#pragma once
// The text-recognition service: Tesseract's LSTM engine on one frame.
#include <memory>
#include <vector>

#include "pixel_buffer.hpp"
#include "platform/recognized_text.hpp"

namespace tesseract {
class TessBaseAPI;
}

namespace vision {

// The engine with Debian's English model, loaded on the first frame and kept.
class TextRecognizer {
 public:
  TextRecognizer();
  ~TextRecognizer();
  TextRecognizer(const TextRecognizer&) = delete;
  TextRecognizer& operator=(const TextRecognizer&) = delete;

  // The frame's text lines in reading order, each with its best string.
  // Throws VisionError when the engine cannot be loaded or recognition fails.
  std::vector<RecognizedLine> recognize(const PixelBuffer& buffer);

 private:
  std::unique_ptr<tesseract::TessBaseAPI> engine_;
};

}  // namespace vision
