#include "text.hpp"

#include <exception>
#include <string>
#include <vector>

#include "output.hpp"
#include "text_document.hpp"

namespace vision {

// Text and faces are read from the same frame in one pass; a failure of
// either service ends the tool, since the frame cannot be answered.
void text(Session& session, const PixelBuffer& buffer) {
  std::vector<RecognizedLine> lines;
  std::vector<NormalizedRect> faceBoxes;
  try {
    lines = session.textRecognizer.recognize(buffer);
    faceBoxes = session.faceDetector.detect(buffer);
  } catch (const std::exception& error) {
    fail(std::string("text recognition failed: ") + error.what());
  }
  const std::string document = textDocument(lines, faceBoxes);
  writeOutput(session.output, document.data(), document.size());
  writeOutput(session.output, "\n", 1);
}

}  // namespace vision
