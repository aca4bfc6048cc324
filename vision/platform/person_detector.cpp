#include "platform/person_detector.hpp"

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include <opencv2/dnn.hpp>
#include <opencv2/imgproc.hpp>

#include "platform/normalized_rect.hpp"
#include "platform/tflite_model.hpp"
#include "poseDetectionAssets.h"

namespace vision {

namespace {

// The pinned package packs one file, pose_detection.tflite, at the start of
// its assets (its loader lists bytes 0 to 2962288).
constexpr size_t poseDetectionBytes = 2962288;

}  // namespace

struct PersonDetector::Network {
  TfliteNetwork net;
  std::vector<std::string> scoreLayers;  // the three score heads
  cv::Mat canvas;                        // the letterboxed frame, RGB
  cv::Mat resized;
  std::vector<cv::Mat> outputs;
};

PersonDetector::PersonDetector() = default;
PersonDetector::~PersonDetector() = default;

float PersonDetector::personScore(const PixelBuffer& buffer) {
  try {
    if (!network_) {
      if (poseDetectionAssets_size < poseDetectionBytes)
        throw VisionError("the person detector's model is incomplete");
      const TfliteModel model = readTfliteModel(poseDetectionAssets, poseDetectionBytes);
      auto n = std::make_unique<Network>();
      n->net = buildTfliteNetwork(model);
      // The heads are flattened to [1, anchors, values] and joined into the
      // model's outputs; the score heads are those with one value.
      for (const TfliteOperator& op : model.operators)
        if (op.op == TfliteOp::Reshape && !op.inputs.empty() &&
            model.tensors[static_cast<size_t>(op.outputs[0])].shape.back() == 1)
          n->scoreLayers.push_back(n->net.layerOfTensor[static_cast<size_t>(op.inputs[0])]);
      if (n->scoreLayers.empty() ||
          std::any_of(n->scoreLayers.begin(), n->scoreLayers.end(),
                      [](const std::string& layer) { return layer.empty(); }) ||
          n->net.inputChannels != 3)
        throw VisionError("the person detector's model is not laid out as expected");
      n->canvas = cv::Mat(n->net.inputHeight, n->net.inputWidth, CV_8UC3);
      network_ = std::move(n);
    }
    Network& n = *network_;
    const cv::Mat frame(static_cast<int>(buffer.height), static_cast<int>(buffer.width), CV_8UC4,
                        buffer.baseAddress, buffer.bytesPerRow);
    // Letterboxed as MediaPipe feeds it: aspect kept, centred on black.
    const double scale = std::min(static_cast<double>(n.canvas.cols) / frame.cols,
                                  static_cast<double>(n.canvas.rows) / frame.rows);
    const cv::Size size(
        std::clamp(static_cast<int>(std::lround(frame.cols * scale)), 1, n.canvas.cols),
        std::clamp(static_cast<int>(std::lround(frame.rows * scale)), 1, n.canvas.rows));
    cv::resize(frame, n.resized, size, 0, 0, cv::INTER_AREA);
    n.canvas.setTo(cv::Scalar::all(0));
    cv::cvtColor(n.resized,
                 n.canvas(cv::Rect((n.canvas.cols - size.width) / 2,
                                   (n.canvas.rows - size.height) / 2, size.width, size.height)),
                 cv::COLOR_BGRA2RGB);
    // RGB in [-1, 1], the margins black.
    n.net.net.setInput(
        cv::dnn::blobFromImage(n.canvas, 2.0 / 255.0, {}, cv::Scalar(127.5, 127.5, 127.5)));
    n.net.net.forward(n.outputs, n.scoreLayers);
    float best = -100.0f;
    for (const cv::Mat& out : n.outputs) {
      if (out.type() != CV_32F) throw VisionError("the person detector gave unexpected scores");
      const float* p = out.ptr<float>();
      best = std::max(best, *std::max_element(p, p + out.total()));
    }
    return 1.0f / (1.0f + std::exp(-std::clamp(best, -100.0f, 100.0f)));
  } catch (const cv::Exception& e) {
    throw VisionError(e.err.empty() ? std::string(e.what()) : e.err);
  }
}

}  // namespace vision
