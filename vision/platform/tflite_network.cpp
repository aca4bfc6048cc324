#include "platform/tflite_network.hpp"

#include <algorithm>
#include <map>
#include <string>
#include <utility>

#include "platform/normalized_rect.hpp"

namespace vision {

namespace {

// Where a tensor's value comes from in the network: a layer and its output.
struct Pin {
  int layer = -1;
  int output = 0;
};

struct Builder {
  const TfliteModel& model;
  TfliteNetwork result;
  std::vector<Pin> pins;  // per tensor; layer -1 until produced
  std::map<int, std::string> layerNames;

  [[noreturn]] void refuse(const TfliteOperator& op, const std::string& why) const {
    throw VisionError(tfliteOpName(op.op) + ": " + why);
  }

  const TfliteTensor& tensor(int index) const { return model.tensors[static_cast<size_t>(index)]; }

  // The NHWC shape of an image tensor, checked to have four dimensions.
  std::vector<int> imageShape(const TfliteOperator& op, int index) const {
    if (index < 0) refuse(op, "lacks an input");
    const auto& shape = tensor(index).shape;
    if (shape.size() != 4 || shape[0] != 1) refuse(op, "expects a single 4-dimensional image");
    return shape;
  }

  // A computed input of the operator, already produced by an earlier layer.
  Pin input(const TfliteOperator& op, size_t position) const {
    if (position >= op.inputs.size() || op.inputs[position] < 0) refuse(op, "lacks an input");
    const int index = op.inputs[position];
    if (tensor(index).constant) refuse(op, "takes a constant where a computed value is needed");
    const Pin pin = pins[static_cast<size_t>(index)];
    if (pin.layer < 0) refuse(op, "reads tensor " + tensor(index).name + " before it is computed");
    return pin;
  }

  const TfliteTensor& constant(const TfliteOperator& op, size_t position) const {
    if (position >= op.inputs.size() || op.inputs[position] < 0) refuse(op, "lacks an input");
    const TfliteTensor& t = tensor(op.inputs[position]);
    if (!t.constant) refuse(op, "needs tensor " + t.name + " to be a constant");
    return t;
  }

  int add(const TfliteOperator& op, size_t opIndex, const std::string& type,
          cv::dnn::LayerParams& params, const std::vector<Pin>& inputs,
          const std::string& suffix = "") {
    const std::string name = "op" + std::to_string(opIndex) + "_" + tfliteOpName(op.op) + suffix;
    params.name = name;
    params.type = type;
    const int id = result.net.addLayer(name, type, params);
    if (id < 0) refuse(op, "the network refused a " + type + " layer");
    layerNames[id] = name;
    for (size_t i = 0; i < inputs.size(); ++i)
      result.net.connect(inputs[i].layer, inputs[i].output, id, static_cast<int>(i));
    return id;
  }

  // Records the operator's output tensor, checking the size the operator
  // computes against the size the model declares.
  void produce(const TfliteOperator& op, size_t opIndex, int layer,
               const std::vector<int>& computedShape) {
    const int out = op.outputs[0];
    if (!tensor(out).shape.empty() && tensor(out).shape != computedShape)
      refuse(op, "computes a shape other than the model declares for " + tensor(out).name);
    int last = layer;
    if (op.activation != TfliteActivation::None) {
      cv::dnn::LayerParams params;
      std::string type = "ReLU";
      if (op.activation == TfliteActivation::Relu6) {
        type = "ReLU6";
        params.set("min_value", 0.f);
        params.set("max_value", 6.f);
      }
      last = add(op, opIndex, type, params, {Pin{layer, 0}}, "_act");
    }
    pins[static_cast<size_t>(out)] = Pin{last, 0};
    result.layerOfTensor[static_cast<size_t>(out)] = layerNames[last];
  }

  // Begin/end padding and output size along one axis, as the format defines
  // them: "same" keeps ceil(in / stride) and puts the odd pixel at the end.
  struct Axis {
    int out;
    int begin;
    int end;
  };
  Axis axis(const TfliteOperator& op, int in, int kernel, int stride, int dilation) const {
    const int span = (kernel - 1) * dilation + 1;
    if (op.padding == TflitePadding::Valid) {
      if (in < span) refuse(op, "kernel larger than its input");
      return {(in - span) / stride + 1, 0, 0};
    }
    const int out = (in + stride - 1) / stride;
    const int total = std::max((out - 1) * stride + span - in, 0);
    return {out, total / 2, total - total / 2};
  }

  // Kernel, stride and padding. "same" padding is left to OpenCV's own
  // "SAME" mode, which pads as the format does (an odd extra cell at the end)
  // where explicit pads would have to be symmetric.
  static void setGeometry(cv::dnn::LayerParams& params, int kh, int kw, int sh, int sw,
                          TflitePadding padding) {
    params.set("kernel_h", kh);
    params.set("kernel_w", kw);
    params.set("stride_h", sh);
    params.set("stride_w", sw);
    params.set("pad_mode", padding == TflitePadding::Same ? "SAME" : "VALID");
  }

  static cv::Mat biasBlob(const TfliteTensor& bias, int count) {
    cv::Mat blob(1, count, CV_32F);
    std::copy(bias.values.begin(), bias.values.end(), blob.ptr<float>());
    return blob;
  }

  const TfliteTensor& checkedBias(const TfliteOperator& op, size_t position, int count) const {
    const TfliteTensor& bias = constant(op, position);
    if (bias.values.size() != static_cast<size_t>(count)) refuse(op, "bias size does not match");
    return bias;
  }

  void conv(const TfliteOperator& op, size_t opIndex, bool depthwise) {
    const Pin in = input(op, 0);
    const auto shape = imageShape(op, op.inputs[0]);
    const TfliteTensor& filter = constant(op, 1);
    if (filter.shape.size() != 4 || filter.values.empty())
      refuse(op, "filter is not 4-dimensional");
    const int inC = shape[3];
    // Filters are [out, kh, kw, in] for convolutions, [1, kh, kw, out] for
    // depthwise ones; OpenCV wants [out, in / groups, kh, kw].
    const int kh = filter.shape[1];
    const int kw = filter.shape[2];
    const int outC = depthwise ? filter.shape[3] : filter.shape[0];
    const int perGroup = depthwise ? 1 : filter.shape[3];
    if (depthwise ? (filter.shape[0] != 1 || outC != inC * op.depthMultiplier) : perGroup != inC)
      refuse(op, "filter does not match its input's channels");
    cv::Mat weights(std::vector<int>{outC, perGroup, kh, kw}, CV_32F);
    float* w = weights.ptr<float>();
    for (int o = 0; o < outC; ++o)
      for (int i = 0; i < perGroup; ++i)
        for (int y = 0; y < kh; ++y)
          for (int x = 0; x < kw; ++x) {
            const size_t src = depthwise ? (static_cast<size_t>(y) * kw + x) * outC + o
                                         : ((static_cast<size_t>(o) * kh + y) * kw + x) * inC + i;
            w[((static_cast<size_t>(o) * perGroup + i) * kh + y) * kw + x] = filter.values[src];
          }

    cv::dnn::LayerParams params;
    const Axis y = axis(op, shape[1], kh, op.strideH, op.dilationH);
    const Axis x = axis(op, shape[2], kw, op.strideW, op.dilationW);
    setGeometry(params, kh, kw, op.strideH, op.strideW, op.padding);
    params.set("dilation_h", op.dilationH);
    params.set("dilation_w", op.dilationW);
    params.set("num_output", outC);
    params.set("group", depthwise ? inC : 1);
    const bool hasBias = op.inputs.size() > 2 && op.inputs[2] >= 0;
    params.set("bias_term", hasBias);
    params.blobs.push_back(weights);
    if (hasBias) params.blobs.push_back(biasBlob(checkedBias(op, 2, outC), outC));
    const int id = add(op, opIndex, "Convolution", params, {in});
    produce(op, opIndex, id, {1, y.out, x.out, outC});
  }

  // The custom transposed convolution: inputs are image, filter
  // [out, kh, kw, in] and bias [out]; "same" padding trims the output to
  // stride × input, taking the trimmed rows and columns half from each end.
  void transposeConv(const TfliteOperator& op, size_t opIndex) {
    const Pin in = input(op, 0);
    const auto shape = imageShape(op, op.inputs[0]);
    const TfliteTensor& filter = constant(op, 1);
    if (filter.shape.size() != 4 || filter.shape[3] != shape[3])
      refuse(op, "filter does not match its input's channels");
    const int outC = filter.shape[0];
    const int kh = filter.shape[1];
    const int kw = filter.shape[2];
    const int inC = shape[3];
    const TfliteTensor& bias = checkedBias(op, 2, outC);

    auto trimmed = [&](int inSize, int k, int s) {
      const int total =
          op.padding == TflitePadding::Same ? std::max(0, k - (inSize - 1) % s - 1) : 0;
      return Axis{s * (inSize - 1) + k - total, total / 2, total - total / 2};
    };
    const Axis y = trimmed(shape[1], kh, op.strideH);
    const Axis x = trimmed(shape[2], kw, op.strideW);

    // OpenCV's deconvolution filter is [in, out, kh, kw].
    cv::Mat weights(std::vector<int>{inC, outC, kh, kw}, CV_32F);
    float* w = weights.ptr<float>();
    for (int i = 0; i < inC; ++i)
      for (int o = 0; o < outC; ++o)
        for (int yy = 0; yy < kh; ++yy)
          for (int xx = 0; xx < kw; ++xx)
            w[((static_cast<size_t>(i) * outC + o) * kh + yy) * kw + xx] =
                filter.values[((static_cast<size_t>(o) * kh + yy) * kw + xx) * inC + i];

    // OpenCV trims a deconvolution's output symmetrically only.
    if (y.begin != y.end || x.begin != x.end) refuse(op, "trims its output unevenly");
    cv::dnn::LayerParams params;
    params.set("kernel_h", kh);
    params.set("kernel_w", kw);
    params.set("stride_h", op.strideH);
    params.set("stride_w", op.strideW);
    params.set("pad_h", y.begin);
    params.set("pad_w", x.begin);
    params.set("num_output", outC);
    params.set("bias_term", true);
    params.blobs.push_back(weights);
    params.blobs.push_back(biasBlob(bias, outC));
    const int id = add(op, opIndex, "Deconvolution", params, {in});
    produce(op, opIndex, id, {1, y.out, x.out, outC});
  }

  void unary(const TfliteOperator& op, size_t opIndex, const std::string& type) {
    cv::dnn::LayerParams params;
    const auto shape = imageShape(op, op.inputs.empty() ? -1 : op.inputs[0]);
    const int id = add(op, opIndex, type, params, {input(op, 0)});
    produce(op, opIndex, id, shape);
  }

  void binary(const TfliteOperator& op, size_t opIndex) {
    if (op.inputs.size() != 2) refuse(op, "needs two inputs");
    const Pin a = input(op, 0);
    const Pin b = input(op, 1);
    const auto sa = imageShape(op, op.inputs[0]);
    const auto sb = imageShape(op, op.inputs[1]);
    cv::dnn::LayerParams params;
    if (sa == sb) {
      params.set("operation", op.op == TfliteOp::Add ? "sum" : "prod");
      produce(op, opIndex, add(op, opIndex, "Eltwise", params, {a, b}), sa);
      return;
    }
    // Channel-wise scaling: one operand is [1, 1, 1, C].
    const bool bIsScale = sb[1] == 1 && sb[2] == 1 && sb[3] == sa[3];
    const bool aIsScale = sa[1] == 1 && sa[2] == 1 && sa[3] == sb[3];
    if (op.op != TfliteOp::Mul || !(aIsScale || bIsScale))
      refuse(op, "broadcasts in a way that is not supported");
    params.set("axis", 1);
    params.set("bias_term", false);
    const int id = bIsScale ? add(op, opIndex, "Scale", params, {a, b})
                            : add(op, opIndex, "Scale", params, {b, a});
    produce(op, opIndex, id, bIsScale ? sa : sb);
  }

  void globalAverage(const TfliteOperator& op, size_t opIndex) {
    const auto shape = imageShape(op, op.inputs.empty() ? -1 : op.inputs[0]);
    cv::dnn::LayerParams params;
    params.set("pool", "ave");
    params.set("global_pooling", true);
    produce(op, opIndex, add(op, opIndex, "Pooling", params, {input(op, 0)}), {1, 1, 1, shape[3]});
  }

  void averagePool(const TfliteOperator& op, size_t opIndex) {
    const auto shape = imageShape(op, op.inputs.empty() ? -1 : op.inputs[0]);
    if (op.filterH == shape[1] && op.filterW == shape[2] && op.padding == TflitePadding::Valid) {
      globalAverage(op, opIndex);
      return;
    }
    cv::dnn::LayerParams params;
    const Axis y = axis(op, shape[1], op.filterH, op.strideH, 1);
    const Axis x = axis(op, shape[2], op.filterW, op.strideW, 1);
    setGeometry(params, op.filterH, op.filterW, op.strideH, op.strideW, op.padding);
    params.set("pool", "ave");
    // Padded cells do not count towards the average.
    params.set("ave_pool_padded_area", false);
    produce(op, opIndex, add(op, opIndex, "Pooling", params, {input(op, 0)}),
            {1, y.out, x.out, shape[3]});
  }

  void mean(const TfliteOperator& op, size_t opIndex) {
    const TfliteTensor& axes = constant(op, 1);
    std::vector<int> sorted;
    for (int a : axes.ints) sorted.push_back(a < 0 ? a + 4 : a);
    std::sort(sorted.begin(), sorted.end());
    if (sorted != std::vector<int>{1, 2} || !op.keepDims)
      refuse(op, "is supported only over height and width, keeping dimensions");
    globalAverage(op, opIndex);
  }

  void resize(const TfliteOperator& op, size_t opIndex) {
    const auto shape = imageShape(op, op.inputs.empty() ? -1 : op.inputs[0]);
    const TfliteTensor& size = constant(op, 1);
    if (size.ints.size() != 2 || size.ints[0] < 1 || size.ints[1] < 1)
      refuse(op, "needs a constant size of two positive integers");
    cv::dnn::LayerParams params;
    params.set("interpolation", "bilinear");
    params.set("height", size.ints[0]);
    params.set("width", size.ints[1]);
    params.set("align_corners", op.alignCorners);
    params.set("half_pixel_centers", op.halfPixelCenters);
    produce(op, opIndex, add(op, opIndex, "Resize", params, {input(op, 0)}),
            {1, size.ints[0], size.ints[1], shape[3]});
  }
};

}  // namespace

TfliteNetwork buildTfliteNetwork(const TfliteModel& model) {
  Builder b{model, {}, std::vector<Pin>(model.tensors.size()), {}};
  b.result.layerOfTensor.resize(model.tensors.size());
  if (model.inputs.size() != 1 || model.outputs.size() != 1)
    throw VisionError("model must have one input and one output");
  const TfliteTensor& in = model.tensors[static_cast<size_t>(model.inputs[0])];
  if (in.shape.size() != 4 || in.shape[0] != 1 || in.shape[1] < 1 || in.shape[2] < 1 ||
      in.shape[3] < 1)
    throw VisionError("model input must be a single image");
  b.result.inputHeight = in.shape[1];
  b.result.inputWidth = in.shape[2];
  b.result.inputChannels = in.shape[3];
  b.result.net.setInputsNames({"image"});
  b.pins[static_cast<size_t>(model.inputs[0])] = Pin{0, 0};

  for (size_t i = 0; i < model.operators.size(); ++i) {
    const TfliteOperator& op = model.operators[i];
    switch (op.op) {
      case TfliteOp::Conv2d:
        b.conv(op, i, false);
        break;
      case TfliteOp::DepthwiseConv2d:
        b.conv(op, i, true);
        break;
      case TfliteOp::TransposeConvBias:
        b.transposeConv(op, i);
        break;
      case TfliteOp::Relu:
        b.unary(op, i, "ReLU");
        break;
      case TfliteOp::HardSwish:
        b.unary(op, i, "HardSwish");
        break;
      case TfliteOp::Logistic:
        b.unary(op, i, "Sigmoid");
        break;
      case TfliteOp::Add:
      case TfliteOp::Mul:
        b.binary(op, i);
        break;
      case TfliteOp::AveragePool2d:
        b.averagePool(op, i);
        break;
      case TfliteOp::Mean:
        b.mean(op, i);
        break;
      case TfliteOp::ResizeBilinear:
        b.resize(op, i);
        break;
    }
  }
  const std::string& out = b.result.layerOfTensor[static_cast<size_t>(model.outputs[0])];
  if (out.empty()) throw VisionError("model output is never computed");
  b.result.outputLayer = out;
  return std::move(b.result);
}

}  // namespace vision
