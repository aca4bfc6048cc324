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
  kConcatenation = 2,
  kConv2d = 3,
  kDepthwiseConv2d = 4,
  kDepthToSpace = 5,
  kDequantize = 6,
  kLogistic = 14,
  kMul = 18,
  kRelu = 19,
  kReshape = 22,
  kResizeBilinear = 23,
  kCustom = 32,
  kPad = 34,
  kMean = 40,
  kHardSwish = 117,
  kDensify = 124,
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
  kDepthToSpaceOptions = 94,
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

// One entry of a sparse dimension's segment or index array.
size_t indexAt(const ts::IndexVector* v, uint8_t type, size_t i, const std::string& name) {
  if (v != nullptr) {
    if (type == ts::kInt32Vector && v->values<int32_t>() != nullptr &&
        i < v->values<int32_t>()->size() && v->values<int32_t>()->Get(i) >= 0)
      return static_cast<size_t>(v->values<int32_t>()->Get(i));
    if (type == ts::kUint16Vector && v->values<uint16_t>() != nullptr &&
        i < v->values<uint16_t>()->size())
      return v->values<uint16_t>()->Get(i);
    if (type == ts::kUint8Vector && v->values<uint8_t>() != nullptr &&
        i < v->values<uint8_t>()->size())
      return v->values<uint8_t>()->Get(i);
  }
  refuse("tensor " + name + " has a damaged sparse index");
}

// The dense form of a sparse constant whose dimensions are stored in their
// own order without blocks: a dense dimension visits each position, a
// compressed one the stored positions its segment lists; the stored values
// come in the order of the visit.
std::vector<float> densify(const std::vector<float>& stored, const std::vector<int>& shape,
                           const ts::SparsityParameters& sparsity, const std::string& name) {
  const auto* dims = sparsity.dimensions();
  const auto* order = sparsity.traversalOrder();
  if (dims == nullptr || dims->size() != shape.size() ||
      (sparsity.blockMap() != nullptr && sparsity.blockMap()->size() != 0))
    refuse("tensor " + name + " is sparse in blocks, which is not supported");
  for (uint32_t i = 0; order != nullptr && i < order->size(); ++i)
    if (order->Get(i) != static_cast<int32_t>(i))
      refuse("tensor " + name + " is sparse in another order, which is not supported");
  std::vector<float> dense(elementCount(shape), 0.0f);
  size_t next = 0;
  const auto walk = [&](const auto& self, size_t level, size_t node, size_t offset) -> void {
    if (level == shape.size()) {
      if (next >= stored.size() || offset >= dense.size())
        refuse("tensor " + name + " has fewer stored values than its indices");
      dense[offset] = stored[next++];
      return;
    }
    const ts::DimensionMetadata* dim = dims->Get(static_cast<uint32_t>(level));
    const auto size = static_cast<size_t>(shape[level]);
    if (dim->format() == ts::kDense) {
      if (dim->denseSize() != shape[level])
        refuse("tensor " + name + " has a damaged sparse shape");
      for (size_t i = 0; i < size; ++i) self(self, level + 1, node * size + i, offset * size + i);
      return;
    }
    const size_t begin = indexAt(dim->segments(), dim->segmentsType(), node, name);
    const size_t end = indexAt(dim->segments(), dim->segmentsType(), node + 1, name);
    for (size_t k = begin; k < end; ++k) {
      const size_t at = indexAt(dim->indices(), dim->indicesType(), k, name);
      if (at >= size) refuse("tensor " + name + " has a sparse index out of range");
      self(self, level + 1, k, offset * size + at);
    }
  };
  walk(walk, 0, 0, 0);
  if (next != stored.size()) refuse("tensor " + name + " has more stored values than its indices");
  return dense;
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

  // A sparse constant stores fewer values than its shape holds.
  const ts::SparsityParameters* sparsity = t.sparsity();
  const size_t width = t.type() == ts::kFloat16 ? 2 : 4;
  const size_t count = sparsity != nullptr ? data->size() / width : elementCount(out.shape);
  if (sparsity != nullptr && (t.type() == ts::kInt32 || data->size() % width != 0))
    refuse("tensor " + out.name + " is a sparse constant of an unsupported kind");
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
  if (sparsity != nullptr) out.values = densify(out.values, out.shape, *sparsity, out.name);
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
    case kDepthToSpace: {
      static const uint8_t widths[] = {4};
      if (const auto* o = options(op, kDepthToSpaceOptions, widths, 1, verifier, name))
        out.blockSize = o->at<int32_t>(0, 0);
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
    case TfliteOp::Pad:
      return "PAD";
    case TfliteOp::DepthToSpace:
      return "DEPTH_TO_SPACE";
    case TfliteOp::Reshape:
      return "RESHAPE";
    case TfliteOp::Concatenation:
      return "CONCATENATION";
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
      case kPad:
        o.op = TfliteOp::Pad;
        break;
      case kDepthToSpace:
        o.op = TfliteOp::DepthToSpace;
        break;
      case kReshape:
        o.op = TfliteOp::Reshape;
        break;
      case kConcatenation:
        o.op = TfliteOp::Concatenation;
        break;
      case kDensify:
      case kDequantize: {
        // Half-float weights are stored once and widened by DEQUANTIZE (and
        // pruned ones expanded by DENSIFY); that is done here, once, instead
        // of on every run.
        if (o.inputs.size() != 1 || o.inputs[0] < 0 || !out.tensors[o.inputs[0]].constant ||
            out.tensors[o.inputs[0]].values.empty())
          refuse(name + " of a computed tensor is not supported");
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
