#include "platform/text_recognizer.hpp"

#include <algorithm>
#include <climits>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include <leptonica/allheaders.h>
#include <omp.h>
#include <tesseract/baseapi.h>
#include <tesseract/resultiterator.h>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include "platform/opencv_error.hpp"

namespace vision {

namespace {

// Debian's tessdata directory, where tesseract-ocr-eng puts the English model.
constexpr const char* kTessdata = ORVIK_TESSDATA_DIR;

// Parameters that must be fixed when the model is loaded. Every dictionary is
// left unloaded, so the LSTM's reading is not corrected towards known words,
// and the engine's diagnostics go nowhere instead of to standard error.
const std::vector<std::string> kInitNames = {
    "load_system_dawg", "load_freq_dawg",   "load_unambig_dawg", "load_punc_dawg",
    "load_number_dawg", "load_bigram_dawg", "debug_file",
};
const std::vector<std::string> kInitValues = {
    "0", "0", "0", "0", "0", "0", "/dev/null",
};

// Tesseract parallelises its LSTM with OpenMP. On a small machine the team of
// threads is far slower than one thread, so no parallel region of this process
// may start more than one. The thread limit of the OpenMP runtime is read from
// the environment when the runtime loads, before main; capping the number of
// active parallel levels at zero has the same effect from inside the process.
void runSingleThreaded() {
  omp_set_dynamic(0);
  omp_set_num_threads(1);
  omp_set_max_active_levels(0);
}

// Tesseract reports a model it cannot read in four lines on standard error
// before the debug_file setting can apply, and its error routine writes there
// directly whatever that setting says. While the engine runs, standard error
// is /dev/null; the tool's own messages are written after it is back.
class QuietStandardError {
 public:
  QuietStandardError() {
    saved_ = ::fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3);
    if (saved_ < 0) return;
    const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null >= 0) {
      ::dup2(null, STDERR_FILENO);
      ::close(null);
    }
  }
  ~QuietStandardError() {
    if (saved_ < 0) return;
    ::dup2(saved_, STDERR_FILENO);
    ::close(saved_);
  }
  QuietStandardError(const QuietStandardError&) = delete;
  QuietStandardError& operator=(const QuietStandardError&) = delete;

 private:
  int saved_ = -1;
};

std::unique_ptr<tesseract::TessBaseAPI> loadEngine(const std::string& modelDirectory) {
  runSingleThreaded();
  // Leptonica reports recoverable oddities on standard error; none is fatal.
  setMsgSeverity(L_SEVERITY_NONE);
  auto engine = std::make_unique<tesseract::TessBaseAPI>();
  if (engine->Init(modelDirectory.c_str(), "eng", tesseract::OEM_LSTM_ONLY, nullptr, 0, &kInitNames,
                   &kInitValues, false) != 0) {
    return nullptr;
  }
  engine->SetPageSegMode(tesseract::PSM_AUTO);
  return engine;
}

// Pixel edges as Tesseract gives them: top-left origin, right and bottom
// exclusive.
struct PixelBox {
  int left = 0;
  int top = 0;
  int right = 0;
  int bottom = 0;
};

// The LSTM places a symbol by where it fired along the line and takes the
// symbol's height from the blobs it matched; now and then such a blob reaches
// into the lines above and below. A symbol lies within its line, so its box is
// held to the line's box (along an axis where they do not meet at all, the
// line's extent stands in).
PixelBox clipped(PixelBox symbol, const PixelBox& line) {
  PixelBox out{std::max(symbol.left, line.left), std::max(symbol.top, line.top),
               std::min(symbol.right, line.right), std::min(symbol.bottom, line.bottom)};
  if (out.left >= out.right) {
    out.left = line.left;
    out.right = line.right;
  }
  if (out.top >= out.bottom) {
    out.top = line.top;
    out.bottom = line.bottom;
  }
  return out;
}

NormalizedRect normalized(const PixelBox& box, double width, double height) {
  return NormalizedRect{box.left / width, (height - box.bottom) / height,
                        (box.right - box.left) / width, (box.bottom - box.top) / height};
}

// The LSTM answers blobs it cannot read (specks, photographs) with spaces;
// those are no text.
bool isReadSymbol(const char* text) {
  if (text == nullptr) return false;
  for (; *text != '\0'; ++text) {
    if (*text != ' ' && *text != '\t' && *text != '\n' && *text != '\r') return true;
  }
  return false;
}

// Walks the page word by word and, inside each word, symbol by symbol, in
// reading order. A line's string is its words joined by single spaces.
std::vector<RecognizedLine> readLines(tesseract::ResultIterator& it, double width, double height) {
  std::vector<RecognizedLine> lines;
  constexpr auto kSymbol = tesseract::RIL_SYMBOL;
  PixelBox lineBox;
  while (!it.Empty(tesseract::RIL_BLOCK)) {
    if (it.Empty(tesseract::RIL_WORD)) {
      it.Next(tesseract::RIL_WORD);
      continue;
    }
    if (lines.empty() || it.IsAtBeginningOf(tesseract::RIL_TEXTLINE)) {
      lines.emplace_back();
      if (!it.BoundingBox(tesseract::RIL_TEXTLINE, &lineBox.left, &lineBox.top, &lineBox.right,
                          &lineBox.bottom)) {
        lineBox = PixelBox{0, 0, static_cast<int>(width), static_cast<int>(height)};
      }
    }
    RecognizedLine& line = lines.back();
    bool wordStarted = false;
    do {
      const std::unique_ptr<char[]> text(it.GetUTF8Text(kSymbol));
      PixelBox box;
      if (isReadSymbol(text.get()) &&
          it.BoundingBox(kSymbol, &box.left, &box.top, &box.right, &box.bottom)) {
        if (!wordStarted && !line.text.empty()) line.text += ' ';
        wordStarted = true;
        TextSymbol symbol;
        symbol.byteBegin = line.text.size();
        line.text += text.get();
        symbol.byteEnd = line.text.size();
        symbol.box = normalized(clipped(box, lineBox), width, height);
        line.symbols.push_back(symbol);
      }
      it.Next(kSymbol);
    } while (!it.Empty(tesseract::RIL_BLOCK) && !it.IsAtBeginningOf(tesseract::RIL_WORD));
  }
  std::erase_if(lines, [](const RecognizedLine& line) { return line.text.empty(); });
  return lines;
}

}  // namespace

TextRecognizer::TextRecognizer() : TextRecognizer(kTessdata) {}
TextRecognizer::TextRecognizer(std::string modelDirectory)
    : modelDirectory_(std::move(modelDirectory)) {}
TextRecognizer::~TextRecognizer() = default;

std::vector<RecognizedLine> TextRecognizer::recognize(const PixelBuffer& buffer) {
  if (buffer.width <= 0 || buffer.height <= 0 || buffer.width > INT_MAX / 4 ||
      buffer.height > INT_MAX || buffer.baseAddress == nullptr) {
    throw VisionError("the frame has no pixels");
  }
  const QuietStandardError quiet;
  if (!engine_) engine_ = loadEngine(modelDirectory_);
  if (!engine_) {
    throw VisionError("could not load the English text model from " + modelDirectory_);
  }
  tesseract::TessBaseAPI& api = *engine_;

  // The engine works on luminance; handing it one gray byte per pixel spares
  // it a colour copy and reads the channels in their real BGRA order.
  const int width = static_cast<int>(buffer.width);
  const int height = static_cast<int>(buffer.height);
  const cv::Mat bgra(height, width, CV_8UC4, buffer.baseAddress, buffer.bytesPerRow);
  cv::Mat gray;
  try {
    cv::cvtColor(bgra, gray, cv::COLOR_BGRA2GRAY);
  } catch (const cv::Exception& e) {
    throw VisionError(describe(e));
  }
  api.SetImage(gray.data, width, height, 1, static_cast<int>(gray.step));

  if (api.Recognize(nullptr) != 0) {
    api.Clear();
    throw VisionError("the text recognizer could not read the frame");
  }
  std::vector<RecognizedLine> lines;
  const std::unique_ptr<tesseract::ResultIterator> it(api.GetIterator());
  if (it) lines = readLines(*it, width, height);
  api.Clear();
  return lines;
}

}  // namespace vision
