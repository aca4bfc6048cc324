#pragma once
// A TensorFlow Lite model turned into an OpenCV network, one OpenCV layer per
// model operator (a fused activation adds one more). The network takes one
// NCHW float image and gives the model's one output, also NCHW.
#include <opencv2/dnn.hpp>

#include <string>
#include <vector>

#include "platform/tflite_model.hpp"

namespace vision {

struct TfliteNetwork {
  cv::dnn::Net net;
  int inputHeight = 0;
  int inputWidth = 0;
  int inputChannels = 0;
  std::string outputLayer;
  // For each model tensor the layer whose output holds it (empty for the
  // input and constants), so that single tensors can be read back.
  std::vector<std::string> layerOfTensor;
};

// Builds the network. Throws VisionError, naming the operator, for anything
// the layers cannot express (a shape, a constant operand, a broadcast).
TfliteNetwork buildTfliteNetwork(const TfliteModel& model);

}  // namespace vision
