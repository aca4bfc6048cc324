#include "vision_tflite_reference.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace vision {

namespace {

struct Shape {
  int h = 1, w = 1, c = 1;
};

Shape shapeOf(const TfliteTensor& t) {
  if (t.shape.size() != 4) throw std::runtime_error("reference: tensor " + t.name + " is not 4-D");
  return {t.shape[1], t.shape[2], t.shape[3]};
}

size_t at(const Shape& s, int y, int x, int c) {
  return (static_cast<size_t>(y) * s.w + x) * s.c + c;
}

// Leading padding of one axis: TensorFlow's rule, the odd cell goes last.
int leadingPad(TflitePadding padding, int in, int out, int k, int stride, int dilation) {
  if (padding == TflitePadding::Valid) return 0;
  const int span = (k - 1) * dilation + 1;
  return std::max((out - 1) * stride + span - in, 0) / 2;
}

float activate(TfliteActivation a, float v) {
  switch (a) {
    case TfliteActivation::Relu:
      return std::max(v, 0.f);
    case TfliteActivation::Relu6:
      return std::min(std::max(v, 0.f), 6.f);
    case TfliteActivation::None:
      break;
  }
  return v;
}

using Tensors = std::vector<std::vector<float>>;

void conv(const TfliteModel& m, const TfliteOperator& op, Tensors& v, bool depthwise) {
  const Shape is = shapeOf(m.tensors[op.inputs[0]]);
  const Shape os = shapeOf(m.tensors[op.outputs[0]]);
  const TfliteTensor& f = m.tensors[op.inputs[1]];
  const int kh = f.shape[1], kw = f.shape[2];
  const auto& in = v[op.inputs[0]];
  const std::vector<float>* bias =
      op.inputs.size() > 2 && op.inputs[2] >= 0 ? &v[op.inputs[2]] : nullptr;
  const int py = leadingPad(op.padding, is.h, os.h, kh, op.strideH, op.dilationH);
  const int px = leadingPad(op.padding, is.w, os.w, kw, op.strideW, op.dilationW);
  auto& out = v[op.outputs[0]];
  out.assign(static_cast<size_t>(os.h) * os.w * os.c, 0.f);
  for (int y = 0; y < os.h; ++y)
    for (int x = 0; x < os.w; ++x)
      for (int o = 0; o < os.c; ++o) {
        double sum = bias ? (*bias)[o] : 0.0;
        for (int ky = 0; ky < kh; ++ky)
          for (int kx = 0; kx < kw; ++kx) {
            const int iy = y * op.strideH - py + ky * op.dilationH;
            const int ix = x * op.strideW - px + kx * op.dilationW;
            if (iy < 0 || ix < 0 || iy >= is.h || ix >= is.w) continue;
            if (depthwise) {
              const int ic = o / op.depthMultiplier;
              sum +=
                  in[at(is, iy, ix, ic)] * f.values[(static_cast<size_t>(ky) * kw + kx) * os.c + o];
            } else {
              for (int i = 0; i < is.c; ++i)
                sum += in[at(is, iy, ix, i)] *
                       f.values[((static_cast<size_t>(o) * kh + ky) * kw + kx) * is.c + i];
            }
          }
        out[at(os, y, x, o)] = activate(op.activation, static_cast<float>(sum));
      }
}

// Scatters every input pixel through the filter into the output, as the
// transposed convolution is defined; "same" padding trims the leading half of
// the excess.
void transposeConv(const TfliteModel& m, const TfliteOperator& op, Tensors& v) {
  const Shape is = shapeOf(m.tensors[op.inputs[0]]);
  const Shape os = shapeOf(m.tensors[op.outputs[0]]);
  const TfliteTensor& f = m.tensors[op.inputs[1]];
  const int kh = f.shape[1], kw = f.shape[2];
  const auto& in = v[op.inputs[0]];
  const auto& bias = v[op.inputs[2]];
  auto trim = [&](int inSize, int k, int s) {
    return op.padding == TflitePadding::Same ? std::max(0, k - (inSize - 1) % s - 1) / 2 : 0;
  };
  const int py = trim(is.h, kh, op.strideH);
  const int px = trim(is.w, kw, op.strideW);
  auto& out = v[op.outputs[0]];
  std::vector<double> acc(static_cast<size_t>(os.h) * os.w * os.c);
  for (int y = 0; y < os.h; ++y)
    for (int x = 0; x < os.w; ++x)
      for (int o = 0; o < os.c; ++o) acc[at(os, y, x, o)] = bias[o];
  for (int iy = 0; iy < is.h; ++iy)
    for (int ix = 0; ix < is.w; ++ix)
      for (int i = 0; i < is.c; ++i)
        for (int ky = 0; ky < kh; ++ky)
          for (int kx = 0; kx < kw; ++kx)
            for (int o = 0; o < os.c; ++o) {
              const int y = iy * op.strideH - py + ky;
              const int x = ix * op.strideW - px + kx;
              if (y < 0 || x < 0 || y >= os.h || x >= os.w) continue;
              acc[at(os, y, x, o)] +=
                  in[at(is, iy, ix, i)] *
                  f.values[((static_cast<size_t>(o) * kh + ky) * kw + kx) * is.c + i];
            }
  out.assign(acc.begin(), acc.end());
}

void elementwise(const TfliteModel& m, const TfliteOperator& op, Tensors& v) {
  const Shape as = shapeOf(m.tensors[op.inputs[0]]);
  const Shape bs = shapeOf(m.tensors[op.inputs[1]]);
  const Shape os = shapeOf(m.tensors[op.outputs[0]]);
  const auto& a = v[op.inputs[0]];
  const auto& b = v[op.inputs[1]];
  auto& out = v[op.outputs[0]];
  out.resize(static_cast<size_t>(os.h) * os.w * os.c);
  // Broadcasting: a dimension of size one repeats.
  for (int y = 0; y < os.h; ++y)
    for (int x = 0; x < os.w; ++x)
      for (int c = 0; c < os.c; ++c) {
        const float va = a[at(as, as.h == 1 ? 0 : y, as.w == 1 ? 0 : x, as.c == 1 ? 0 : c)];
        const float vb = b[at(bs, bs.h == 1 ? 0 : y, bs.w == 1 ? 0 : x, bs.c == 1 ? 0 : c)];
        out[at(os, y, x, c)] = activate(op.activation, op.op == TfliteOp::Add ? va + vb : va * vb);
      }
}

void averagePool(const TfliteModel& m, const TfliteOperator& op, Tensors& v, bool global) {
  const Shape is = shapeOf(m.tensors[op.inputs[0]]);
  const Shape os = shapeOf(m.tensors[op.outputs[0]]);
  const int fh = global ? is.h : op.filterH, fw = global ? is.w : op.filterW;
  const int sh = global ? 1 : op.strideH, sw = global ? 1 : op.strideW;
  const int py = leadingPad(op.padding, is.h, os.h, fh, sh, 1);
  const int px = leadingPad(op.padding, is.w, os.w, fw, sw, 1);
  const auto& in = v[op.inputs[0]];
  auto& out = v[op.outputs[0]];
  out.resize(static_cast<size_t>(os.h) * os.w * os.c);
  for (int y = 0; y < os.h; ++y)
    for (int x = 0; x < os.w; ++x)
      for (int c = 0; c < os.c; ++c) {
        double sum = 0;
        int count = 0;
        for (int ky = 0; ky < fh; ++ky)
          for (int kx = 0; kx < fw; ++kx) {
            const int iy = y * sh - py + ky, ix = x * sw - px + kx;
            if (iy < 0 || ix < 0 || iy >= is.h || ix >= is.w) continue;
            sum += in[at(is, iy, ix, c)];
            ++count;
          }
        out[at(os, y, x, c)] = activate(op.activation, static_cast<float>(sum / count));
      }
}

void resizeBilinear(const TfliteModel& m, const TfliteOperator& op, Tensors& v) {
  const Shape is = shapeOf(m.tensors[op.inputs[0]]);
  const Shape os = shapeOf(m.tensors[op.outputs[0]]);
  const auto& in = v[op.inputs[0]];
  auto& out = v[op.outputs[0]];
  out.resize(static_cast<size_t>(os.h) * os.w * os.c);
  auto source = [&](int o, int inSize, int outSize) {
    if (op.alignCorners && outSize > 1) return o * float(inSize - 1) / float(outSize - 1);
    const float scale = float(inSize) / float(outSize);
    return op.halfPixelCenters ? (o + 0.5f) * scale - 0.5f : o * scale;
  };
  for (int y = 0; y < os.h; ++y) {
    const float fy = source(y, is.h, os.h);
    const int y0 = std::max(static_cast<int>(std::floor(fy)), 0);
    const int y1 = std::min(static_cast<int>(std::ceil(fy)), is.h - 1);
    const float dy = fy - std::floor(fy);
    for (int x = 0; x < os.w; ++x) {
      const float fx = source(x, is.w, os.w);
      const int x0 = std::max(static_cast<int>(std::floor(fx)), 0);
      const int x1 = std::min(static_cast<int>(std::ceil(fx)), is.w - 1);
      const float dx = fx - std::floor(fx);
      for (int c = 0; c < os.c; ++c) {
        const float top = in[at(is, y0, x0, c)] * (1 - dx) + in[at(is, y0, x1, c)] * dx;
        const float bottom = in[at(is, y1, x0, c)] * (1 - dx) + in[at(is, y1, x1, c)] * dx;
        out[at(os, y, x, c)] = top * (1 - dy) + bottom * dy;
      }
    }
  }
}

void pointwise(const TfliteOperator& op, Tensors& v) {
  const auto& in = v[op.inputs[0]];
  auto& out = v[op.outputs[0]];
  out.resize(in.size());
  for (size_t i = 0; i < in.size(); ++i) {
    const float x = in[i];
    switch (op.op) {
      case TfliteOp::Relu:
        out[i] = std::max(x, 0.f);
        break;
      case TfliteOp::HardSwish:
        out[i] = x * std::min(std::max(x + 3.f, 0.f), 6.f) / 6.f;
        break;
      case TfliteOp::Logistic:
        out[i] = 1.f / (1.f + std::exp(-x));
        break;
      default:
        throw std::runtime_error("reference: not a pointwise operator");
    }
  }
}

}  // namespace

std::vector<std::vector<float>> evaluateReference(const TfliteModel& model,
                                                  const std::vector<float>& input) {
  Tensors v(model.tensors.size());
  for (size_t i = 0; i < model.tensors.size(); ++i) v[i] = model.tensors[i].values;
  v[model.inputs[0]] = input;
  for (const TfliteOperator& op : model.operators) {
    switch (op.op) {
      case TfliteOp::Conv2d:
        conv(model, op, v, false);
        break;
      case TfliteOp::DepthwiseConv2d:
        conv(model, op, v, true);
        break;
      case TfliteOp::TransposeConvBias:
        transposeConv(model, op, v);
        break;
      case TfliteOp::Add:
      case TfliteOp::Mul:
        elementwise(model, op, v);
        break;
      case TfliteOp::AveragePool2d:
        averagePool(model, op, v, false);
        break;
      case TfliteOp::Mean:
        averagePool(model, op, v, true);
        break;
      case TfliteOp::ResizeBilinear:
        resizeBilinear(model, op, v);
        break;
      case TfliteOp::Relu:
      case TfliteOp::HardSwish:
      case TfliteOp::Logistic:
        pointwise(op, v);
        break;
    }
  }
  return v;
}

}  // namespace vision
