#include "platform/xnnpack_network.hpp"

#include <pthreadpool.h>
#include <xnnpack.h>

#include <cstdint>
#include <limits>
#include <map>
#include <stdexcept>
#include <string>

namespace vision {

namespace {

constexpr float inf = std::numeric_limits<float>::infinity();

[[noreturn]] void refuse(const std::string& what) {
  throw std::runtime_error("the network cannot run: " + what);
}

void check(xnn_status status, const std::string& what) {
  if (status != xnn_status_success)
    throw std::runtime_error("XNNPACK failed to " + what + " (status " +
                             std::to_string(static_cast<int>(status)) + ")");
}

// A value as XNNPACK holds it, channels last. `channelsFirst` is the layout
// the graph thinks it has: the graph's operators see NCHW after its input's
// Transpose, though the memory stays NHWC throughout.
struct Value {
  size_t index = 0;  // into the values XNNPACK gets
  size_t h = 1, w = 1, c = 1;
  bool channelsFirst = false;
  bool zeros = false;  // a ConstantOfShape block: no memory, only a size
};

// One XNNPACK node, recorded before the values are defined, so that the
// outputs (reached through layout changes) are known when they are.
struct Step {
  enum Kind { conv, depthwise, relu, add, maxPool, padChannels } kind;
  size_t in = 0, in2 = 0, out = 0;
  uint32_t padTop = 0, padRight = 0, padBottom = 0, padLeft = 0;
  uint32_t kh = 1, kw = 1, sh = 1, sw = 1;
  size_t inChannels = 0, outChannels = 0;
  size_t filter = 0;       // index into the state's weights
  size_t bias = SIZE_MAX;  // index into the state's weights, or none
};

// XNNPACK's kernels may read up to XNN_EXTRA_BYTES past the end of the data
// they are given: the buffers carry that much more, unused.
std::vector<float> withSlack(std::vector<float> values) {
  values.reserve(values.size() + XNN_EXTRA_BYTES / sizeof(float));
  values.insert(values.end(), XNN_EXTRA_BYTES / sizeof(float), 0.0f);
  return values;
}

}  // namespace

struct XnnpackNetwork::State {
  std::vector<float> input;
  std::vector<std::vector<float>> outputs;
  std::vector<std::vector<float>> weights;  // the constants, alive as long as the runtime
  NetworkThreads threads;
  xnn_runtime_t runtime = nullptr;

  ~State() {
    if (runtime) xnn_delete_runtime(runtime);
  }
};

namespace {

int64_t intAttribute(const OnnxNode& node, const char* name, int64_t otherwise) {
  const auto it = node.ints.find(name);
  return it == node.ints.end() || it->second.empty() ? otherwise : it->second[0];
}

std::vector<int64_t> intsAttribute(const OnnxNode& node, const char* name,
                                   std::vector<int64_t> otherwise) {
  const auto it = node.ints.find(name);
  return it == node.ints.end() ? otherwise : it->second;
}

}  // namespace

NetworkThreads makeNetworkThreads(int count) {
  if (count <= 1) return {};
  pthreadpool_t pool = pthreadpool_create(static_cast<size_t>(count));
  if (!pool) throw std::runtime_error("cannot start the networks' threads");
  return NetworkThreads(pool, pthreadpool_destroy);
}

XnnpackNetwork::XnnpackNetwork(const OnnxGraph& graph, int height, int width, int channels,
                               NetworkThreads threads)
    : state_(std::make_unique<State>()) {
  check(xnn_initialize(nullptr), "start");
  if (graph.inputs.size() != 1) refuse("the graph has other than one input");
  if (height <= 0 || width <= 0 || channels <= 0) refuse("an empty input");
  State& s = *state_;

  std::vector<Value> values;  // every value XNNPACK gets, by index
  std::map<std::string, Value> named;
  const auto newValue = [&](size_t h, size_t w, size_t c, bool first) {
    values.push_back({values.size(), h, w, c, first, false});
    return values.back();
  };
  named[graph.inputs[0]] = newValue(static_cast<size_t>(height), static_cast<size_t>(width),
                                    static_cast<size_t>(channels), false);

  std::vector<Step> steps;
  for (const OnnxNode& node : graph.nodes) {
    const std::string& op = node.op;
    const auto fail = [&](const std::string& why) -> void { refuse(op + ": " + why); };
    if (node.outputs.size() != 1) fail("other than one output");
    const auto computed = [&](size_t i) -> Value {
      if (i >= node.inputs.size()) fail("lacks an input");
      const auto it = named.find(node.inputs[i]);
      if (it == named.end()) fail("reads " + node.inputs[i] + " before it is computed");
      return it->second;
    };
    const auto constant = [&](size_t i) -> const OnnxConstant* {
      if (i >= node.inputs.size() || node.inputs[i].empty()) return nullptr;
      const auto it = graph.constants.find(node.inputs[i]);
      if (it == graph.constants.end()) fail("needs " + node.inputs[i] + " to be a constant");
      return &it->second;
    };
    const std::string& out = node.outputs[0];

    if (op == "Transpose") {
      Value v = computed(0);
      const std::vector<int64_t> perm = intsAttribute(node, "perm", {});
      if (!v.channelsFirst && perm == std::vector<int64_t>{0, 3, 1, 2}) {
        v.channelsFirst = true;
      } else if (v.channelsFirst && perm == std::vector<int64_t>{0, 2, 3, 1}) {
        v.channelsFirst = false;
      } else {
        fail("a permutation other than between channels first and last");
      }
      named[out] = v;
    } else if (op == "Reshape") {
      // Channels last, the memory is already the flattened order.
      const Value v = computed(0);
      if (v.channelsFirst) fail("reshapes channels-first values");
      named[out] = v;
    } else if (op == "Relu") {
      const Value in = computed(0);
      Value v = newValue(in.h, in.w, in.c, in.channelsFirst);
      steps.push_back({Step::relu, in.index, 0, v.index});
      named[out] = v;
    } else if (op == "Add") {
      const Value a = computed(0), b = computed(1);
      if (a.h != b.h || a.w != b.w || a.c != b.c || a.channelsFirst != b.channelsFirst)
        fail("adds values of different shapes");
      Value v = newValue(a.h, a.w, a.c, a.channelsFirst);
      steps.push_back({Step::add, a.index, b.index, v.index});
      named[out] = v;
    } else if (op == "ConstantOfShape") {
      // The blocks of zeros a TensorFlow "Pad" of channels becomes.
      const OnnxConstant* shape = constant(0);
      if (!shape || shape->int64s.size() != 4 || shape->int64s[1] <= 0)
        fail("a block other than [1, C, H, W]");
      Value v;
      v.zeros = true;
      v.channelsFirst = true;
      v.c = static_cast<size_t>(shape->int64s[1]);
      named[out] = v;
    } else if (op == "Concat") {
      const Value a = computed(0), zeros = computed(1);
      const int64_t axis = intAttribute(node, "axis", 0);
      if (node.inputs.size() != 2 || !zeros.zeros || a.zeros || !a.channelsFirst || axis != 1)
        fail("other than channels padded with zeros");
      Value v = newValue(a.h, a.w, a.c + zeros.c, true);
      Step step{Step::padChannels, a.index, 0, v.index};
      step.inChannels = a.c;
      step.outChannels = v.c;
      steps.push_back(step);
      named[out] = v;
    } else if (op == "Conv" || op == "MaxPool") {
      const Value in = computed(0);
      if (!in.channelsFirst) fail("an input the graph does not see as channels first");
      const bool pool = op == "MaxPool";
      const OnnxConstant* filter = pool ? nullptr : constant(1);
      if (!pool && (!filter || filter->dims.size() != 4)) fail("a filter other than 4-dimensional");
      const std::vector<int64_t> kernel = intsAttribute(
          node, "kernel_shape",
          pool ? std::vector<int64_t>{} : std::vector<int64_t>{filter->dims[2], filter->dims[3]});
      const std::vector<int64_t> strides = intsAttribute(node, "strides", {1, 1});
      const std::vector<int64_t> pads = intsAttribute(node, "pads", {0, 0, 0, 0});
      const std::vector<int64_t> dilations = intsAttribute(node, "dilations", {1, 1});
      if (kernel.size() != 2 || strides.size() != 2 || pads.size() != 4 ||
          dilations != std::vector<int64_t>{1, 1} || kernel[0] <= 0 || kernel[1] <= 0 ||
          strides[0] <= 0 || strides[1] <= 0)
        fail("a geometry other than 2-dimensional, undilated");
      for (int64_t p : pads)
        if (p < 0) fail("negative padding");
      Step step{pool ? Step::maxPool : Step::conv, in.index, 0, 0};
      step.kh = static_cast<uint32_t>(kernel[0]);
      step.kw = static_cast<uint32_t>(kernel[1]);
      step.sh = static_cast<uint32_t>(strides[0]);
      step.sw = static_cast<uint32_t>(strides[1]);
      step.padTop = static_cast<uint32_t>(pads[0]);
      step.padLeft = static_cast<uint32_t>(pads[1]);
      step.padBottom = static_cast<uint32_t>(pads[2]);
      step.padRight = static_cast<uint32_t>(pads[3]);
      const auto extent = [&](size_t size, uint32_t before, uint32_t after, uint32_t k,
                              uint32_t stride) -> size_t {
        const size_t padded = size + before + after;
        if (padded < k) fail("a kernel larger than its input");
        return (padded - k) / stride + 1;
      };
      const size_t oh = extent(in.h, step.padTop, step.padBottom, step.kh, step.sh);
      const size_t ow = extent(in.w, step.padLeft, step.padRight, step.kw, step.sw);
      size_t oc = in.c;
      if (!pool) {
        const int64_t group = intAttribute(node, "group", 1);
        const auto m = static_cast<size_t>(filter->dims[0]);
        const auto perGroup = static_cast<size_t>(filter->dims[1]);
        if (filter->dims[2] != kernel[0] || filter->dims[3] != kernel[1])
          fail("a filter of another size than its kernel");
        const size_t kArea = step.kh * step.kw;
        std::vector<float> packed(filter->floats.size());
        if (group == 1 && perGroup == in.c) {
          // [M, C, kh, kw] to XNNPACK's [M, kh, kw, C].
          for (size_t o = 0; o < m; ++o)
            for (size_t i = 0; i < in.c; ++i)
              for (size_t k = 0; k < kArea; ++k)
                packed[(o * kArea + k) * in.c + i] = filter->floats[(o * in.c + i) * kArea + k];
        } else if (static_cast<size_t>(group) == in.c && perGroup == 1 && m == in.c) {
          // [C, 1, kh, kw] to XNNPACK's [1, kh, kw, C].
          step.kind = Step::depthwise;
          for (size_t ch = 0; ch < m; ++ch)
            for (size_t k = 0; k < kArea; ++k) packed[k * m + ch] = filter->floats[ch * kArea + k];
        } else {
          fail("groups other than none or one per channel");
        }
        step.inChannels = in.c;
        step.outChannels = oc = m;
        step.filter = s.weights.size();
        s.weights.push_back(withSlack(std::move(packed)));
        if (const OnnxConstant* bias = constant(2)) {
          if (bias->floats.size() != m) fail("a bias of another size than its outputs");
          step.bias = s.weights.size();
          s.weights.push_back(withSlack(bias->floats));
        }
      }
      Value v = newValue(oh, ow, oc, true);
      step.out = v.index;
      steps.push_back(step);
      named[out] = v;
    } else {
      refuse("operator " + op);
    }
  }

  // External values: the input 0, the outputs from 1.
  std::map<size_t, uint32_t> external{{named[graph.inputs[0]].index, 0}};
  for (const std::string& name : graph.outputs) {
    const auto it = named.find(name);
    if (it == named.end() || it->second.zeros) refuse("output " + name + " is not computed");
    if (external.count(it->second.index)) refuse("output " + name + " repeats another value");
    const auto id = static_cast<uint32_t>(external.size());
    external[it->second.index] = id;
    const Value& v = values[it->second.index];
    s.outputs.emplace_back(v.h * v.w * v.c);
  }
  s.input = withSlack(std::vector<float>(static_cast<size_t>(height) * width * channels));

  xnn_subgraph_t subgraph = nullptr;
  check(xnn_create_subgraph(static_cast<uint32_t>(external.size()), 0, &subgraph),
        "create a subgraph");
  struct Deleter {
    xnn_subgraph_t g;
    ~Deleter() { xnn_delete_subgraph(g); }
  } deleter{subgraph};

  std::vector<uint32_t> ids(values.size());
  for (size_t i = 0; i < values.size(); ++i) {
    const size_t dims[4] = {1, values[i].h, values[i].w, values[i].c};
    uint32_t externalId = XNN_INVALID_VALUE_ID;
    uint32_t flags = 0;
    if (const auto it = external.find(i); it != external.end()) {
      externalId = it->second;
      flags = it->second == 0 ? XNN_VALUE_FLAG_EXTERNAL_INPUT : XNN_VALUE_FLAG_EXTERNAL_OUTPUT;
    }
    check(xnn_define_tensor_value(subgraph, xnn_datatype_fp32, 4, dims, nullptr, externalId, flags,
                                  &ids[i]),
          "define a value");
  }
  const auto staticValue = [&](size_t weight, std::vector<size_t> dims) {
    uint32_t id = XNN_INVALID_VALUE_ID;
    check(xnn_define_tensor_value(subgraph, xnn_datatype_fp32, dims.size(), dims.data(),
                                  s.weights[weight].data(), XNN_INVALID_VALUE_ID, 0, &id),
          "define a constant");
    return id;
  };
  for (const Step& st : steps) {
    switch (st.kind) {
      case Step::relu:
        check(xnn_define_clamp(subgraph, 0.0f, inf, ids[st.in], ids[st.out], 0), "define Relu");
        break;
      case Step::add:
        check(xnn_define_add2(subgraph, -inf, inf, ids[st.in], ids[st.in2], ids[st.out], 0),
              "define Add");
        break;
      case Step::padChannels: {
        const size_t before[4] = {0, 0, 0, 0};
        const size_t after[4] = {0, 0, 0, st.outChannels - st.inChannels};
        check(xnn_define_static_constant_pad(subgraph, before, after, 0.0f, ids[st.in], ids[st.out],
                                             0),
              "define a channel padding");
        break;
      }
      case Step::maxPool:
        check(xnn_define_max_pooling_2d(subgraph, st.padTop, st.padRight, st.padBottom, st.padLeft,
                                        st.kh, st.kw, st.sh, st.sw, 1, 1, -inf, inf, ids[st.in],
                                        ids[st.out], 0),
              "define MaxPool");
        break;
      case Step::conv: {
        const uint32_t filter =
            staticValue(st.filter, {st.outChannels, st.kh, st.kw, st.inChannels});
        const uint32_t bias =
            st.bias == SIZE_MAX ? XNN_INVALID_VALUE_ID : staticValue(st.bias, {st.outChannels});
        check(xnn_define_convolution_2d(subgraph, st.padTop, st.padRight, st.padBottom, st.padLeft,
                                        st.kh, st.kw, st.sh, st.sw, 1, 1, 1, st.inChannels,
                                        st.outChannels, -inf, inf, ids[st.in], filter, bias,
                                        ids[st.out], 0),
              "define Conv");
        break;
      }
      case Step::depthwise: {
        const uint32_t filter = staticValue(st.filter, {1, st.kh, st.kw, st.inChannels});
        const uint32_t bias =
            st.bias == SIZE_MAX ? XNN_INVALID_VALUE_ID : staticValue(st.bias, {st.outChannels});
        check(xnn_define_depthwise_convolution_2d(subgraph, st.padTop, st.padRight, st.padBottom,
                                                  st.padLeft, st.kh, st.kw, st.sh, st.sw, 1, 1, 1,
                                                  st.inChannels, -inf, inf, ids[st.in], filter,
                                                  bias, ids[st.out], 0),
              "define a depthwise Conv");
        break;
      }
    }
  }
  s.threads = std::move(threads);
  check(xnn_create_runtime_v2(subgraph, s.threads.get(), 0, &s.runtime), "create the runtime");

  std::vector<xnn_external_value> bound{{0, s.input.data()}};
  for (size_t i = 0; i < s.outputs.size(); ++i)
    bound.push_back({static_cast<uint32_t>(i + 1), s.outputs[i].data()});
  check(xnn_setup_runtime(s.runtime, bound.size(), bound.data()), "set up the runtime");
}

XnnpackNetwork::~XnnpackNetwork() = default;
XnnpackNetwork::XnnpackNetwork(XnnpackNetwork&&) noexcept = default;
XnnpackNetwork& XnnpackNetwork::operator=(XnnpackNetwork&&) noexcept = default;

float* XnnpackNetwork::input() { return state_->input.data(); }

const std::vector<std::vector<float>>& XnnpackNetwork::outputs() const { return state_->outputs; }

void XnnpackNetwork::run() {
  check(xnn_invoke_runtime(state_->runtime), "run the network");
  // XNNPACK's threads watch for the next operator for a long while (about a
  // million pauses) before they sleep, which between frames would keep a
  // core busy; an empty task flagged to yield sends them to sleep at once.
  // Asking the runtime to yield instead would do so after every operator.
  if (pthreadpool_t pool = state_->threads.get()) {
    pthreadpool_parallelize_1d(
        pool, [](void*, size_t) {}, nullptr, pthreadpool_get_threads_count(pool),
        PTHREADPOOL_FLAG_YIELD_WORKERS);
  }
}

}  // namespace vision
