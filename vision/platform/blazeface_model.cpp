#include "platform/blazeface_model.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include <opencv2/imgproc.hpp>

#include "platform/onnx_graph.hpp"
#include "platform/whole_factor_shrink.hpp"

namespace vision {

BlazeFaceModel loadBlazeFaceSized(const unsigned char* bytes, size_t size, int width, int height,
                                  const std::vector<int>& strides, NetworkThreads threads) {
  BlazeFaceModel model;
  model.net.emplace(readOnnxGraph(bytes, size), height, width, 3, std::move(threads));
  model.inputWidth = width;
  model.inputHeight = height;
  model.anchors = ssdAnchors(width, height, strides);
  model.canvas = cv::Mat(height, width, CV_8UC4, cv::Scalar::all(0));
  model.scores.resize(model.anchors.size());
  model.boxes.resize(model.anchors.size() * 16);

  // Tell the outputs apart by their sizes: a score grid has one value per
  // anchor, a box grid sixteen; the finer grid (more anchors) comes first.
  const std::vector<std::vector<float>>& outputs = model.net->outputs();
  if (outputs.size() != 4) throw std::runtime_error("the face model does not have four outputs");
  std::vector<size_t> order = {0, 1, 2, 3};
  std::sort(order.begin(), order.end(),
            [&](size_t a, size_t b) { return outputs[a].size() < outputs[b].size(); });
  // Smallest first: coarse scores, fine scores, coarse boxes, fine boxes.
  model.outputOrder = {order[1], order[0], order[3], order[2]};
  const size_t fine = outputs[order[1]].size(), coarse = outputs[order[0]].size();
  if (fine + coarse != model.anchors.size() || outputs[order[3]].size() != fine * 16 ||
      outputs[order[2]].size() != coarse * 16)
    throw std::runtime_error("the face model's outputs do not match its anchors");
  return model;
}

namespace {

// Where the image lands in the model's input: scaled to fit, centred.
cv::Rect letterbox(const cv::Size& image, int width, int height) {
  const double scale = std::min(static_cast<double>(width) / image.width,
                                static_cast<double>(height) / image.height);
  const int w = std::clamp(static_cast<int>(std::lround(image.width * scale)), 1, width);
  const int h = std::clamp(static_cast<int>(std::lround(image.height * scale)), 1, height);
  return {(width - w) / 2, (height - h) / 2, w, h};
}

}  // namespace

BlazeFaceModel loadBlazeFace(const unsigned char* bytes, size_t size, int inputSize,
                             const std::vector<int>& strides, NetworkThreads threads) {
  return loadBlazeFaceSized(bytes, size, inputSize, inputSize, strides, std::move(threads));
}

BlazeFaceModel loadBlazeFaceFor(const cv::Size& frame, const unsigned char* bytes, size_t size,
                                int inputSize, const std::vector<int>& strides,
                                NetworkThreads threads) {
  const int coarsest = *std::max_element(strides.begin(), strides.end());
  const auto shorter = [&](int side, int longer) {
    const int fitted = static_cast<int>(std::ceil(static_cast<double>(inputSize) * side / longer));
    return std::clamp((fitted + coarsest - 1) / coarsest * coarsest, coarsest, inputSize);
  };
  const int width = frame.width >= frame.height ? inputSize : shorter(frame.width, frame.height);
  const int height = frame.width >= frame.height ? shorter(frame.height, frame.width) : inputSize;
  return loadBlazeFaceSized(bytes, size, width, height, strides, std::move(threads));
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
  } else if (!shrinkByWholeFactor(image, target)) {
    // Not a whole factor (1920 × 1080 to 256 × 144 is 7.5): OpenCV's area
    // resampling takes about 8 ms there. Shrinking first by the largest whole
    // factor that divides the frame and keeps at least the target's size
    // (6, to 320 × 180), then by area for the rest, averages nearly the same
    // pixels in a fifth of the time.
    int k = 0;
    for (int f = 2; image.cols / f >= target.cols && image.rows / f >= target.rows; ++f)
      if (image.cols % f == 0 && image.rows % f == 0) k = f;
    if (k == 0 || image.size() / k == target.size()) {
      cv::resize(image, target, target.size(), 0, 0, cv::INTER_AREA);
      return;
    }
    model.between.create(image.rows / k, image.cols / k, image.type());
    if (!shrinkByWholeFactor(image, model.between))
      cv::resize(image, model.between, model.between.size(), 0, 0, cv::INTER_AREA);  // halving
    cv::resize(model.between, target, target.size(), 0, 0, cv::INTER_AREA);
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
  float* in = model.net->input();
  for (int y = 0; y < height; ++y) {
    const uint8_t* row = model.canvas.ptr<uint8_t>(y);
    for (int x = 0; x < width; ++x, row += 4, in += 3) {
      in[0] = row[2] * (2.0f / 255.0f) - 1.0f;
      in[1] = row[1] * (2.0f / 255.0f) - 1.0f;
      in[2] = row[0] * (2.0f / 255.0f) - 1.0f;
    }
  }
  model.net->run();
  const std::vector<std::vector<float>>& out = model.net->outputs();
  const std::vector<float>& fineScores = out[model.outputOrder[0]];
  const std::vector<float>& coarseScores = out[model.outputOrder[1]];
  std::copy(fineScores.begin(), fineScores.end(), model.scores.begin());
  std::copy(coarseScores.begin(), coarseScores.end(), model.scores.begin() + fineScores.size());
  const std::vector<float>& fineBoxes = out[model.outputOrder[2]];
  const std::vector<float>& coarseBoxes = out[model.outputOrder[3]];
  std::copy(fineBoxes.begin(), fineBoxes.end(), model.boxes.begin());
  std::copy(coarseBoxes.begin(), coarseBoxes.end(), model.boxes.begin() + fineBoxes.size());

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
