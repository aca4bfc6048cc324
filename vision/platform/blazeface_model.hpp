#pragma once
// One BlazeFace network, loaded once, and a run of it on a BGRA image.
#include <array>
#include <cstddef>
#include <string>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/dnn.hpp>

#include "platform/blazeface_decoding.hpp"

namespace vision {

struct BlazeFaceModel {
  cv::dnn::Net net;
  int inputWidth = 0;
  int inputHeight = 0;
  std::vector<AnchorCenter> anchors;
  std::vector<std::string> outputNames;  // scores of both grids, then boxes of both
  // Reused for every run.
  cv::Mat canvas;  // inputHeight × inputWidth BGRA, the letterboxed image
  cv::Rect area;   // where the image lies on the canvas in the last run
  cv::Mat input;   // 1 × inputHeight × inputWidth × 3 floats, RGB in [-1, 1]
  cv::Mat twice;   // the image at twice the canvas's scale, for a quick letterbox
  std::vector<cv::Mat> outputs;
  std::vector<float> scores;  // one logit per anchor, both grids in anchor order
  std::vector<float> boxes;   // 16 values per anchor
};

// Loads an ONNX BlazeFace (channels-last RGB input of inputSize², four outputs:
// two score grids and two box grids) from memory. Throws cv::Exception or
// std::runtime_error when the bytes are not such a model.
BlazeFaceModel loadBlazeFace(const unsigned char* bytes, size_t size, int inputSize,
                             const std::vector<int>& strides);

// The same network with an input of the frame's aspect: the longer side
// inputSize, the shorter the frame's share of it rounded up to the coarsest
// stride, so that the letterbox adds at most that stride of black. The
// square network when the model cannot be reshaped.
BlazeFaceModel loadBlazeFaceFor(const cv::Size& frame, const unsigned char* bytes, size_t size,
                                int inputSize, const std::vector<int>& strides);

// The network with an input of width × height (multiples of the coarsest
// stride). Throws when the model cannot be reshaped.
BlazeFaceModel loadBlazeFaceSized(const unsigned char* bytes, size_t size, int width, int height,
                                  const std::vector<int>& strides);

// Scales `image` (8-bit BGRA, any stride) into the model's input with its
// aspect ratio kept, centred on black: fills `canvas` and `area`. Averaging
// the pixels each input pixel covers, or `quick`: bilinear to twice the
// input's size, then averaging.
void letterboxInto(BlazeFaceModel& model, const cv::Mat& image, bool quick = false);

// Faces on the model's canvas as `letterboxInto` last left it; boxes in
// fractions of the letterboxed image, origin top-left, before suppression.
// Throws cv::Exception when the network fails.
std::vector<FaceBox> runOnCanvas(BlazeFaceModel& model, float minScore);

// Both steps: faces in `image`.
std::vector<FaceBox> runBlazeFace(BlazeFaceModel& model, const cv::Mat& image, float minScore);

}  // namespace vision
