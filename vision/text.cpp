#include <exception>
#include <string>
#include <vector>

#include "analyses.hpp"
#include "output.hpp"
#include "platform/face_detector.hpp"
#include "platform/text_recognizer.hpp"
#include "text_document.hpp"

// Text and faces are read from the same frame in one pass; a failure of
// either service ends the tool, since the frame cannot be answered.
void text(const PixelBuffer& buffer) {
  std::vector<RecognizedLine> lines;
  std::vector<NormalizedRect> faceBoxes;
  try {
    lines = recognizeTextLines(buffer);
    faceBoxes = detectFaceRectangles(buffer);
  } catch (const std::exception& error) {
    fail(std::string("text recognition failed: ") + error.what());
  }
  const std::string document = textDocument(lines, faceBoxes);
  writeOutput(document.data(), document.size());
  writeOutput("\n", 1);
}
