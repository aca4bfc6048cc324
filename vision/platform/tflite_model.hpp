#pragma once
// A TensorFlow Lite model read into plain values: its tensors (with the
// constant ones' values as floats) and its operators in execution order.
// Only the operators of small image-to-image networks are known; any other
// operator is refused by name.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vision {

enum class TfliteOp {
  Conv2d,
  DepthwiseConv2d,
  Relu,
  HardSwish,
  Add,
  Mul,
  Logistic,
  AveragePool2d,
  Mean,
  ResizeBilinear,
  // The custom transposed convolution with bias (custom code
  // "Convolution2DTransposeBias").
  TransposeConvBias,
};

enum class TflitePadding { Same, Valid };
enum class TfliteActivation { None, Relu, Relu6 };

struct TfliteTensor {
  std::string name;
  std::vector<int> shape;  // NHWC for images; filters as the operator defines
  bool constant = false;
  std::vector<float> values;  // constant float data, half floats widened
  std::vector<int32_t> ints;  // constant 32-bit integer data
};

struct TfliteOperator {
  TfliteOp op = TfliteOp::Relu;
  std::vector<int> inputs;   // tensor indices; -1 marks an omitted input
  std::vector<int> outputs;  // tensor indices
  TflitePadding padding = TflitePadding::Same;
  int strideW = 1;
  int strideH = 1;
  int dilationW = 1;
  int dilationH = 1;
  int filterW = 1;  // pools only
  int filterH = 1;
  int depthMultiplier = 1;
  TfliteActivation activation = TfliteActivation::None;
  bool alignCorners = false;
  bool halfPixelCenters = false;
  bool keepDims = false;
};

struct TfliteModel {
  std::vector<TfliteTensor> tensors;
  std::vector<TfliteOperator> operators;  // in execution order
  std::vector<int> inputs;
  std::vector<int> outputs;
};

// The operator's name as the format spells it, for messages.
std::string tfliteOpName(TfliteOp op);

// Reads a model file's bytes. Constant half-float tensors behind DEQUANTIZE
// are folded into float constants. Throws VisionError for a damaged file, an
// unknown operator (naming it) or a shape the operators cannot take.
TfliteModel readTfliteModel(const uint8_t* data, size_t size);

}  // namespace vision
