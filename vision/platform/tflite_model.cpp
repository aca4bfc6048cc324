#include "platform/tflite_model.hpp"

#include <opencv2/core.hpp>

#include <algorithm>
#include <cstring>
#include <limits>
#include <string>

#include "platform/normalized_rect.hpp"
#include "platform/tflite_schema.hpp"

namespace vision {

namespace ts = tflite_schema;

namespace {

// Builtin operator codes of the format.
enum Builtin : int32_t {
  kAdd = 0,
  kAveragePool2d = 1,
  kConv2d = 3,
  kDepthwiseConv2d = 4,
  kDequantize = 6,
  kLogistic = 14,
  kMul = 18,
  kRelu = 19,
  kResizeBilinear = 23,
  kCustom = 32,
  kMean = 40,
  kHardSwish = 117,
};

// Which option table an operator carries (the format's union numbering).
enum OptionsKind : uint8_t {
  kNoOptions = 0,
  kConv2dOptions = 1,
  kDepthwiseOptions = 2,
  kPool2dOptions = 5,
  kAddOptions = 11,
  kResizeBilinearOptions = 15,
  kMulOptions = 21,
  kReducerOptions = 27,
};

// Names of builtin operators for the refusal message; the list covers the
// operators of common image models, others are named by number.
std::string builtinName(int32_t code) {
  static const char* const names[] = {"ADD",
                                      "AVERAGE_POOL_2D",
                                      "CONCATENATION",
                                      "CONV_2D",
                                      "DEPTHWISE_CONV_2D",
                                      "DEPTH_TO_SPACE",
                                      "DEQUANTIZE",
                                      "EMBEDDING_LOOKUP",
                                      "FLOOR",
                                      "FULLY_CONNECTED",
                                      "HASHTABLE_LOOKUP",
                                      "L2_NORMALIZATION",
                                      "L2_POOL_2D",
                                      "LOCAL_RESPONSE_NORMALIZATION",
                                      "LOGISTIC",
                                      "LSH_PROJECTION",
                                      "LSTM",
                                      "MAX_POOL_2D",
                                      "MUL",
                                      "RELU",
                                      "RELU_N1_TO_1",
                                      "RELU6",
                                      "RESHAPE",
                                      "RESIZE_BILINEAR",
                                      "RNN",
                                      "SOFTMAX",
                                      "SPACE_TO_DEPTH",
                                      "SVDF",
                                      "TANH",
                                      "CONCAT_EMBEDDINGS",
                                      "SKIP_GRAM",
                                      "CALL",
                                      "CUSTOM",
                                      "EMBEDDING_LOOKUP_SPARSE",
                                      "PAD",
                                      "UNIDIRECTIONAL_SEQUENCE_RNN",
                                      "GATHER",
                                      "BATCH_TO_SPACE_ND",
                                      "SPACE_TO_BATCH_ND",
                                      "TRANSPOSE",
                                      "MEAN",
                                      "SUB",
                                      "DIV",
                                      "SQUEEZE",
                                      "UNIDIRECTIONAL_SEQUENCE_LSTM",
                                      "STRIDED_SLICE",
                                      "BIDIRECTIONAL_SEQUENCE_RNN",
                                      "EXP",
                                      "TOPK_V2",
                                      "SPLIT",
                                      "LOG_SOFTMAX",
                                      "DELEGATE",
                                      "BIDIRECTIONAL_SEQUENCE_LSTM",
                                      "CAST",
                                      "PRELU",
                                      "MAXIMUM",
                                      "ARG_MAX",
                                      "MINIMUM",
                                      "LESS",
                                      "NEG",
                                      "PADV2",
                                      "GREATER",
                                      "GREATER_EQUAL",
                                      "LESS_EQUAL",
                                      "SELECT",
                                      "SLICE",
                                      "SIN",
                                      "TRANSPOSE_CONV"};
  if (code == kHardSwish) return "HARD_SWISH";
  if (code >= 0 && static_cast<size_t>(code) < std::size(names)) return names[code];
  return "builtin operator " + std::to_string(code);
}

[[noreturn]] void refuse(const std::string& why) { throw VisionError(why); }

template <typename T>
std::vector<int> intList(const flatbuffers::Vector<T>* v) {
  std::vector<int> out;
  if (v == nullptr) return out;
  for (auto x : *v) out.push_back(static_cast<int>(x));
  return out;
}

size_t elementCount(const std::vector<int>& shape) {
  size_t n = 1;
  for (int d : shape) {
    if (d <= 0 || n > (size_t{1} << 40) / static_cast<size_t>(d))
      refuse("tensor shape out of range");
    n *= static_cast<size_t>(d);
  }
  return n;
}

TfliteTensor readTensor(const ts::Tensor& t, const ts::Model& model) {
  TfliteTensor out;
  if (t.name() != nullptr) out.name = t.name()->str();
  out.shape = intList(t.shape());
  const auto* buffers = model.buffers();
  const uint32_t index = t.buffer();
  if (index == 0 || buffers == nullptr) return out;
  if (index >= buffers->size()) refuse("tensor " + out.name + " names a missing buffer");
  const ts::Buffer* buffer = buffers->Get(index);
  if (buffer->offset() != 0) refuse("tensor " + out.name + " keeps its data outside the file");
  const auto* data = buffer->data();
  if (data == nullptr || data->size() == 0) return out;

  const size_t count = elementCount(out.shape);
  out.constant = true;
  switch (t.type()) {
    case ts::kFloat32:
      if (data->size() != count * 4) refuse("tensor " + out.name + " has the wrong data size");
      out.values.resize(count);
      std::memcpy(out.values.data(), data->data(), count * 4);
      break;
    case ts::kFloat16: {
      if (data->size() != count * 2) refuse("tensor " + out.name + " has the wrong data size");
      out.values.resize(count);
      for (size_t i = 0; i < count; ++i) {
        uint16_t bits;
        std::memcpy(&bits, data->data() + 2 * i, 2);
        cv::float16_t half = cv::float16_t::fromBits(bits);
        out.values[i] = static_cast<float>(half);
      }
      break;
    }
    case ts::kInt32:
      if (data->size() != count * 4) refuse("tensor " + out.name + " has the wrong data size");
      out.ints.resize(count);
      std::memcpy(out.ints.data(), data->data(), count * 4);
      break;
    default:
      refuse("tensor " + out.name + " has an unsupported element type " +
             std::to_string(static_cast<int>(t.type())));
  }
  return out;
}

TfliteActivation activation(int8_t code, const std::string& op) {
  switch (code) {
    case ts::kNone:
      return TfliteActivation::None;
    case ts::kRelu:
      return TfliteActivation::Relu;
    case ts::kRelu6:
      return TfliteActivation::Relu6;
    default:
      refuse(op + " has an unsupported fused activation " + std::to_string(code));
  }
}

TflitePadding padding(int8_t code, const std::string& op) {
  switch (code) {
    case ts::kSame:
      return TflitePadding::Same;
    case ts::kValid:
      return TflitePadding::Valid;
    default:
      refuse(op + " has an unknown padding " + std::to_string(code));
  }
}

// Checks that the operator carries the expected option table (or none) and
// that its scalar fields lie inside the file.
const ts::Options* options(const ts::Operator& op, OptionsKind kind, const uint8_t* widths,
                           int count, flatbuffers::Verifier& verifier, const std::string& name) {
  const ts::Options* o = op.options();
  if (o == nullptr) return nullptr;
  if (op.optionsType() != kind) refuse(name + " carries options of another operator");
  if (!o->verifyScalars(verifier, widths, count)) refuse(name + " has damaged options");
  return o;
}

void readOptions(TfliteOperator& out, const ts::Operator& op, int32_t code,
                 flatbuffers::Verifier& verifier, const std::string& name) {
  switch (code) {
    case kConv2d: {
      static const uint8_t widths[] = {1, 4, 4, 1, 4, 4};
      if (const auto* o = options(op, kConv2dOptions, widths, 6, verifier, name)) {
        out.padding = padding(o->at<int8_t>(0, 0), name);
        out.strideW = o->at<int32_t>(1, 1);
        out.strideH = o->at<int32_t>(2, 1);
        out.activation = activation(o->at<int8_t>(3, 0), name);
        out.dilationW = o->at<int32_t>(4, 1);
        out.dilationH = o->at<int32_t>(5, 1);
      }
      break;
    }
    case kDepthwiseConv2d: {
      static const uint8_t widths[] = {1, 4, 4, 4, 1, 4, 4};
      if (const auto* o = options(op, kDepthwiseOptions, widths, 7, verifier, name)) {
        out.padding = padding(o->at<int8_t>(0, 0), name);
        out.strideW = o->at<int32_t>(1, 1);
        out.strideH = o->at<int32_t>(2, 1);
        out.depthMultiplier = o->at<int32_t>(3, 1);
        out.activation = activation(o->at<int8_t>(4, 0), name);
        out.dilationW = o->at<int32_t>(5, 1);
        out.dilationH = o->at<int32_t>(6, 1);
      }
      break;
    }
    case kAveragePool2d: {
      static const uint8_t widths[] = {1, 4, 4, 4, 4, 1};
      if (const auto* o = options(op, kPool2dOptions, widths, 6, verifier, name)) {
        out.padding = padding(o->at<int8_t>(0, 0), name);
        out.strideW = o->at<int32_t>(1, 1);
        out.strideH = o->at<int32_t>(2, 1);
        out.filterW = o->at<int32_t>(3, 1);
        out.filterH = o->at<int32_t>(4, 1);
        out.activation = activation(o->at<int8_t>(5, 0), name);
      }
      break;
    }
    case kAdd:
    case kMul: {
      static const uint8_t widths[] = {1};
      const OptionsKind kind = code == kAdd ? kAddOptions : kMulOptions;
      if (const auto* o = options(op, kind, widths, 1, verifier, name))
        out.activation = activation(o->at<int8_t>(0, 0), name);
      break;
    }
    case kResizeBilinear: {
      static const uint8_t widths[] = {4, 4, 1, 1};
      if (const auto* o = options(op, kResizeBilinearOptions, widths, 4, verifier, name)) {
        out.alignCorners = o->at<int8_t>(2, 0) != 0;
        out.halfPixelCenters = o->at<int8_t>(3, 0) != 0;
      }
      break;
    }
    case kMean: {
      static const uint8_t widths[] = {1};
      if (const auto* o = options(op, kReducerOptions, widths, 1, verifier, name))
        out.keepDims = o->at<int8_t>(0, 0) != 0;
      break;
    }
    default:
      break;
  }
}

// The custom transposed convolution keeps its parameters as three 32-bit
// integers: padding (1 same, 2 valid), stride width, stride height.
void readTransposeOptions(TfliteOperator& out, const ts::Operator& op) {
  const auto* raw = op.customOptions();
  if (raw == nullptr || raw->size() < 12) refuse("Convolution2DTransposeBias lacks its parameters");
  int32_t p[3];
  std::memcpy(p, raw->data(), sizeof p);
  if (p[0] == 1) {
    out.padding = TflitePadding::Same;
  } else if (p[0] == 2) {
    out.padding = TflitePadding::Valid;
  } else {
    refuse("Convolution2DTransposeBias has an unknown padding " + std::to_string(p[0]));
  }
  out.strideW = p[1];
  out.strideH = p[2];
}

}  // namespace

std::string tfliteOpName(TfliteOp op) {
  switch (op) {
    case TfliteOp::Conv2d:
      return "CONV_2D";
    case TfliteOp::DepthwiseConv2d:
      return "DEPTHWISE_CONV_2D";
    case TfliteOp::Relu:
      return "RELU";
    case TfliteOp::HardSwish:
      return "HARD_SWISH";
    case TfliteOp::Add:
      return "ADD";
    case TfliteOp::Mul:
      return "MUL";
    case TfliteOp::Logistic:
      return "LOGISTIC";
    case TfliteOp::AveragePool2d:
      return "AVERAGE_POOL_2D";
    case TfliteOp::Mean:
      return "MEAN";
    case TfliteOp::ResizeBilinear:
      return "RESIZE_BILINEAR";
    case TfliteOp::TransposeConvBias:
      return "Convolution2DTransposeBias";
  }
  return "unknown";
}

TfliteModel readTfliteModel(const uint8_t* data, size_t size) {
  if (data == nullptr || size < 8 || size >= FLATBUFFERS_MAX_BUFFER_SIZE)
    refuse("model file is empty or too large");
  if (std::memcmp(data + 4, "TFL3", 4) != 0) refuse("model file is not a TensorFlow Lite model");
  flatbuffers::Verifier verifier(data, size);
  if (!verifier.VerifyBuffer<ts::Model>("TFL3")) refuse("model file is damaged");
  const auto* model = flatbuffers::GetRoot<ts::Model>(data);
  if (model->subgraphs() == nullptr || model->subgraphs()->size() != 1)
    refuse("model must have exactly one graph");
  const ts::SubGraph* graph = model->subgraphs()->Get(0);
  if (graph->tensors() == nullptr || graph->operators() == nullptr) refuse("model graph is empty");

  TfliteModel out;
  for (const ts::Tensor* t : *graph->tensors()) out.tensors.push_back(readTensor(*t, *model));
  const int tensorCount = static_cast<int>(out.tensors.size());
  auto checkIndices = [&](const std::vector<int>& list, bool allowOmitted) {
    for (int i : list)
      if (i >= tensorCount || i < (allowOmitted ? -1 : 0)) refuse("model names a missing tensor");
  };
  out.inputs = intList(graph->inputs());
  out.outputs = intList(graph->outputs());
  checkIndices(out.inputs, false);
  checkIndices(out.outputs, false);

  const auto* codes = model->operatorCodes();
  for (const ts::Operator* op : *graph->operators()) {
    if (codes == nullptr || op->opcodeIndex() >= codes->size())
      refuse("operator names a missing operator code");
    const ts::OperatorCode* code = codes->Get(op->opcodeIndex());
    // Files older than the 32-bit code field keep the code in the old byte.
    const int32_t builtin = std::max<int32_t>(code->builtinCode(), code->deprecatedBuiltinCode());

    TfliteOperator o;
    o.inputs = intList(op->inputs());
    o.outputs = intList(op->outputs());
    checkIndices(o.inputs, true);
    checkIndices(o.outputs, false);
    if (o.outputs.empty()) refuse("operator without output");

    std::string name = builtinName(builtin);
    switch (builtin) {
      case kConv2d:
        o.op = TfliteOp::Conv2d;
        break;
      case kDepthwiseConv2d:
        o.op = TfliteOp::DepthwiseConv2d;
        break;
      case kRelu:
        o.op = TfliteOp::Relu;
        break;
      case kHardSwish:
        o.op = TfliteOp::HardSwish;
        break;
      case kAdd:
        o.op = TfliteOp::Add;
        break;
      case kMul:
        o.op = TfliteOp::Mul;
        break;
      case kLogistic:
        o.op = TfliteOp::Logistic;
        break;
      case kAveragePool2d:
        o.op = TfliteOp::AveragePool2d;
        break;
      case kMean:
        o.op = TfliteOp::Mean;
        break;
      case kResizeBilinear:
        o.op = TfliteOp::ResizeBilinear;
        break;
      case kDequantize: {
        // Half-float weights are stored once and widened by DEQUANTIZE; the
        // widening is done here, once, instead of on every run.
        if (o.inputs.size() != 1 || o.inputs[0] < 0 || !out.tensors[o.inputs[0]].constant ||
            out.tensors[o.inputs[0]].values.empty())
          refuse("DEQUANTIZE of a computed tensor is not supported");
        TfliteTensor& target = out.tensors[o.outputs[0]];
        target.constant = true;
        target.values = out.tensors[o.inputs[0]].values;
        continue;
      }
      case kCustom: {
        name =
            code->customCode() != nullptr ? code->customCode()->str() : "unnamed custom operator";
        if (name != "Convolution2DTransposeBias") refuse("unsupported operator " + name);
        o.op = TfliteOp::TransposeConvBias;
        readTransposeOptions(o, *op);
        break;
      }
      default:
        refuse("unsupported operator " + name);
    }
    if (o.op != TfliteOp::TransposeConvBias) readOptions(o, *op, builtin, verifier, name);
    if (o.strideW < 1 || o.strideH < 1 || o.dilationW < 1 || o.dilationH < 1 || o.filterW < 1 ||
        o.filterH < 1 || o.depthMultiplier < 1)
      refuse(name + " has a stride, dilation or size below one");
    out.operators.push_back(std::move(o));
  }
  return out;
}

}  // namespace vision
