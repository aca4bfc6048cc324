#include "platform/segmenter.hpp"

#include <opencv2/dnn.hpp>
#include <opencv2/imgproc.hpp>

#include <memory>
#include <string>

#include "platform/normalized_rect.hpp"
#include "platform/tflite_model.hpp"
#include "platform/tflite_network.hpp"
#include "selfieSegmentationLandscapeModel.h"
#include "selfieSegmentationModel.h"

namespace vision {

namespace {

TfliteNetwork load(SegmentationModel which) {
  const bool general = which == SegmentationModel::general;
  // The model files' bytes, built into the program.
  const TfliteModel model =
      general ? readTfliteModel(selfieSegmentationModel, selfieSegmentationModel_size)
              : readTfliteModel(selfieSegmentationLandscapeModel,
                                selfieSegmentationLandscapeModel_size);
  TfliteNetwork network = buildTfliteNetwork(model);
  if (network.inputChannels != 3) throw VisionError("segmentation model does not take RGB images");
  return network;
}

// The frame stretched to the network's input: RGB, values in [0, 1], NCHW.
cv::Mat networkInput(const PixelBuffer& buffer, const TfliteNetwork& net) {
  const cv::Mat frame(static_cast<int>(buffer.height), static_cast<int>(buffer.width), CV_8UC4,
                      buffer.baseAddress, buffer.bytesPerRow);
  const cv::Size size(net.inputWidth, net.inputHeight);
  cv::Mat small;
  // Bilinear sampling: area averaging scored no better on the photographs of
  // the tests and costs several times more at sizes that are not a whole
  // multiple of the network's.
  cv::resize(frame, small, size, 0, 0, cv::INTER_LINEAR);
  cv::Mat rgb;
  cv::cvtColor(small, rgb, cv::COLOR_BGRA2RGB);
  return cv::dnn::blobFromImage(rgb, 1.0 / 255.0);
}

}  // namespace

SegmentationModel segmentationModelFor(int64_t frameWidth, int64_t frameHeight) {
  // Height over width is 144/256 = 9/16 for the landscape network and 1 for
  // the square one; their geometric mean is 3/4, so a frame flatter than 4:3
  // is nearer the landscape network's shape.
  return 4 * frameHeight < 3 * frameWidth ? SegmentationModel::landscape
                                          : SegmentationModel::general;
}

std::optional<cv::Mat> Segmenter::segment(const PixelBuffer& buffer) {
  if (buffer.baseAddress == nullptr || buffer.width < 1 || buffer.height < 1 ||
      buffer.bytesPerRow < static_cast<size_t>(buffer.width) * 4)
    throw VisionError("the frame's pixel buffer is not a BGRA image");
  try {
    const SegmentationModel which = segmentationModelFor(buffer.width, buffer.height);
    auto& slot = networks_[which == SegmentationModel::general ? 0 : 1];
    if (!slot) slot = std::make_unique<TfliteNetwork>(load(which));
    TfliteNetwork& net = *slot;
    net.net.setInput(networkInput(buffer, net));
    const cv::Mat out = net.net.forward(net.outputLayer);
    // A network that gives anything but one plane of probabilities is not a
    // segmentation network; its output must not pass for a mask.
    if (out.dims != 4 || out.size[0] != 1 || out.size[1] != 1 || out.type() != CV_32F)
      throw VisionError("the segmentation network does not give a single-channel mask");
    // The network's last layer is a logistic: probabilities of a person.
    cv::Mat mask;
    out.reshape(1, out.size[2]).convertTo(mask, CV_8U, 255.0);
    return mask;
  } catch (const cv::Exception& e) {
    throw VisionError(e.err.empty() ? std::string(e.what()) : e.err);
  }
}

}  // namespace vision
