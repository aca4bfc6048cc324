#pragma once
// One BlazeFace network, loaded once, and a run of it on a BGRA image.
#include <cstddef>
#include <optional>
#include <vector>

#include <opencv2/core.hpp>

#include "platform/blazeface_decoding.hpp"
#include "platform/xnnpack_network.hpp"

namespace vision {

struct BlazeFaceModel {
  std::optional<XnnpackNetwork> net;
  int inputWidth = 0;
  int inputHeight = 0;
  std::vector<AnchorCenter> anchors;
  std::vector<size_t> outputOrder;  // scores of both grids, then boxes of both
  // Reused for every run.
  cv::Mat canvas;             // inputHeight × inputWidth BGRA, the letterboxed image
  cv::Rect area;              // where the image lies on the canvas in the last run
  cv::Mat twice;              // the image at twice the canvas's scale, for a quick letterbox
  cv::Mat between;            // the image shrunk by a whole factor, on the way to the canvas
  std::vector<float> scores;  // one logit per anchor, both grids in anchor order
  std::vector<float> boxes;   // 16 values per anchor
};

// Loads an ONNX BlazeFace (channels-last RGB input of inputSize², four outputs:
// two score grids and two box grids) from memory. Throws std::runtime_error
// when the bytes are not such a model.
BlazeFaceModel loadBlazeFace(const unsigned char* bytes, size_t size, int inputSize,
                             const std::vector<int>& strides, NetworkThreads threads = {});

// The same network with an input of the frame's aspect: the longer side
// inputSize, the shorter the frame's share of it rounded up to the coarsest
// stride, so that the letterbox adds at most that stride of black.
BlazeFaceModel loadBlazeFaceFor(const cv::Size& frame, const unsigned char* bytes, size_t size,
                                int inputSize, const std::vector<int>& strides,
                                NetworkThreads threads = {});

// The network with an input of width × height (multiples of the coarsest
// stride).
BlazeFaceModel loadBlazeFaceSized(const unsigned char* bytes, size_t size, int width, int height,
                                  const std::vector<int>& strides, NetworkThreads threads = {});

// Scales `image` (8-bit BGRA, any stride) into the model's input with its
// aspect ratio kept, centred on black: fills `canvas` and `area`. Averaging
// the pixels each input pixel covers (exactly for a whole factor, else
// nearly), or `quick`: bilinear to twice the input's size, then averaging.
void letterboxInto(BlazeFaceModel& model, const cv::Mat& image, bool quick = false);

// Faces on the model's canvas as `letterboxInto` last left it; boxes in
// fractions of the letterboxed image, origin top-left, before suppression.
// Throws std::runtime_error when the network fails.
std::vector<FaceBox> runOnCanvas(BlazeFaceModel& model, float minScore);

// Both steps: faces in `image`.
std::vector<FaceBox> runBlazeFace(BlazeFaceModel& model, const cv::Mat& image, float minScore);

}  // namespace vision
