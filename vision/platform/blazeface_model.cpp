#include "platform/blazeface_model.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include <opencv2/imgproc.hpp>

#include "platform/onnx_input_size.hpp"

namespace vision {

namespace {

BlazeFaceModel load(const unsigned char* bytes, size_t size, int width, int height,
                    const std::vector<int>& strides) {
  BlazeFaceModel model;
  model.net = cv::dnn::readNetFromONNX(reinterpret_cast<const char*>(bytes), size);
  model.net.setPreferableBackend(cv::dnn::DNN_BACKEND_OPENCV);
  model.net.setPreferableTarget(cv::dnn::DNN_TARGET_CPU);
  model.inputWidth = width;
  model.inputHeight = height;
  model.anchors = ssdAnchors(width, height, strides);
  model.canvas = cv::Mat(height, width, CV_8UC4, cv::Scalar::all(0));
  const int shape[] = {1, height, width, 3};
  model.input = cv::Mat(4, shape, CV_32F, cv::Scalar::all(0));
  model.scores.resize(model.anchors.size());
  model.boxes.resize(model.anchors.size() * 16);

  // Tell the outputs apart by their shapes: a score grid has one value per
  // anchor, a box grid sixteen; the finer grid (more anchors) comes first.
  const std::vector<std::string> names = model.net.getUnconnectedOutLayersNames();
  model.net.setInput(model.input);
  std::vector<cv::Mat> outputs;
  model.net.forward(outputs, names);
  if (outputs.size() != 4) throw std::runtime_error("the face model does not have four outputs");
  struct Output {
    std::string name;
    int anchors;
    int values;
  };
  std::vector<Output> scores, boxes;
  for (size_t i = 0; i < outputs.size(); ++i) {
    const cv::Mat& out = outputs[i];
    const int values = out.dims >= 3 ? out.size[out.dims - 1] : 1;
    const int anchors = static_cast<int>(out.total()) / values;
    (values == 1 ? scores : boxes).push_back({names[i], anchors, values});
  }
  const auto finerFirst = [](const Output& a, const Output& b) { return a.anchors > b.anchors; };
  std::sort(scores.begin(), scores.end(), finerFirst);
  std::sort(boxes.begin(), boxes.end(), finerFirst);
  if (scores.size() != 2 || boxes.size() != 2 || boxes[0].values != 16 ||
      scores[0].anchors != boxes[0].anchors || scores[1].anchors != boxes[1].anchors ||
      static_cast<size_t>(scores[0].anchors + scores[1].anchors) != model.anchors.size())
    throw std::runtime_error("the face model's outputs do not match its anchors");
  model.outputNames = {scores[0].name, scores[1].name, boxes[0].name, boxes[1].name};
  return model;
}

// Where the image lands in the model's input: scaled to fit, centred.
cv::Rect letterbox(const cv::Size& image, int width, int height) {
  const double scale = std::min(static_cast<double>(width) / image.width,
                                static_cast<double>(height) / image.height);
  const int w = std::clamp(static_cast<int>(std::lround(image.width * scale)), 1, width);
  const int h = std::clamp(static_cast<int>(std::lround(image.height * scale)), 1, height);
  return {(width - w) / 2, (height - h) / 2, w, h};
}

void copyOut(const cv::Mat& from, float* to, size_t count) {
  if (from.total() != count || from.type() != CV_32F || !from.isContinuous())
    throw std::runtime_error("the face model gave outputs of an unexpected shape");
  std::copy_n(from.ptr<float>(), count, to);
}

}  // namespace

BlazeFaceModel loadBlazeFace(const unsigned char* bytes, size_t size, int inputSize,
                             const std::vector<int>& strides) {
  return load(bytes, size, inputSize, inputSize, strides);
}

BlazeFaceModel loadBlazeFaceFor(const cv::Size& frame, const unsigned char* bytes, size_t size,
                                int inputSize, const std::vector<int>& strides) {
  const int coarsest = *std::max_element(strides.begin(), strides.end());
  const auto shorter = [&](int side, int longer) {
    const int fitted = static_cast<int>(std::ceil(static_cast<double>(inputSize) * side / longer));
    return std::clamp((fitted + coarsest - 1) / coarsest * coarsest, coarsest, inputSize);
  };
  const int width = frame.width >= frame.height ? inputSize : shorter(frame.width, frame.height);
  const int height = frame.width >= frame.height ? shorter(frame.height, frame.width) : inputSize;
  if (width != inputSize || height != inputSize) {
    try {
      return loadBlazeFaceSized(bytes, size, width, height, strides);
    } catch (const std::exception&) {
      // Not laid out as expected: the square network serves every frame.
    }
  }
  return loadBlazeFace(bytes, size, inputSize, strides);
}

BlazeFaceModel loadBlazeFaceSized(const unsigned char* bytes, size_t size, int width, int height,
                                  const std::vector<int>& strides) {
  const std::vector<unsigned char> reshaped = withInputSize(bytes, size, height, width);
  return load(reshaped.data(), reshaped.size(), width, height, strides);
}

void letterboxInto(BlazeFaceModel& model, const cv::Mat& image, bool quick) {
  model.area = letterbox(image.size(), model.inputWidth, model.inputHeight);
  model.canvas.setTo(cv::Scalar::all(0));
  cv::Mat target = model.canvas(model.area);
  if (quick && image.cols > 2 * target.cols && image.rows > 2 * target.rows) {
    // Bilinear to twice the size, then averaging each 2 × 2: OpenCV's area
    // resampling costs about 1 ms at a scale that is not a whole number.
    cv::resize(image, model.twice, target.size() * 2, 0, 0, cv::INTER_LINEAR);
    cv::resize(model.twice, target, target.size(), 0, 0, cv::INTER_AREA);
  } else {
    cv::resize(image, target, target.size(), 0, 0, cv::INTER_AREA);
  }
}

std::vector<FaceBox> runBlazeFace(BlazeFaceModel& model, const cv::Mat& image, float minScore) {
  letterboxInto(model, image);
  return runOnCanvas(model, minScore);
}

std::vector<FaceBox> runOnCanvas(BlazeFaceModel& model, float minScore) {
  const int width = model.inputWidth;
  const int height = model.inputHeight;
  const cv::Rect area = model.area;

  // BGRA bytes to RGB in [-1, 1], channels last; the margins are black (-1).
  float* in = model.input.ptr<float>();
  for (int y = 0; y < height; ++y) {
    const uint8_t* row = model.canvas.ptr<uint8_t>(y);
    for (int x = 0; x < width; ++x, row += 4, in += 3) {
      in[0] = row[2] * (2.0f / 255.0f) - 1.0f;
      in[1] = row[1] * (2.0f / 255.0f) - 1.0f;
      in[2] = row[0] * (2.0f / 255.0f) - 1.0f;
    }
  }
  model.net.setInput(model.input);
  model.net.forward(model.outputs, model.outputNames);

  const size_t fine = model.outputs[0].total();
  const size_t coarse = model.outputs[1].total();
  if (fine + coarse != model.anchors.size())
    throw std::runtime_error("the face model gave outputs of an unexpected shape");
  copyOut(model.outputs[0], model.scores.data(), fine);
  copyOut(model.outputs[1], model.scores.data() + fine, coarse);
  copyOut(model.outputs[2], model.boxes.data(), fine * 16);
  copyOut(model.outputs[3], model.boxes.data() + fine * 16, coarse * 16);

  std::vector<FaceBox> found =
      decodeBoxes(model.scores.data(), model.boxes.data(), model.anchors, width, height, minScore);
  // From the model's input back to fractions of the image.
  for (FaceBox& box : found) {
    const auto toX = [&](float v) { return (v * width - area.x) / area.width; };
    const auto toY = [&](float v) { return (v * height - area.y) / area.height; };
    mapFaceBox(box, toX, toY);
  }
  return found;
}

}  // namespace vision
