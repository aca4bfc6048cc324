#pragma once
// A small convolutional ONNX network run by XNNPACK, channels last from end
// to end. Taken: Conv (plain or depthwise), Relu, Add, MaxPool, channels
// padded with zeros (Concat with a ConstantOfShape block), and the layout
// changes (Transpose, Reshape) a TensorFlow export puts around them. The
// input is channels last ([1, H, W, C]) as TensorFlow's is; the outputs are
// the values channels last, flattened.
#include <cstddef>
#include <memory>
#include <vector>

#include "platform/onnx_graph.hpp"

struct pthreadpool;

namespace vision {

// Threads that networks spread their operators over, shared by the networks
// of one detector. Between operators of a run the threads watch for the next
// one; after a run they sleep, so that nothing spins between frames. Empty:
// every network runs on its caller's thread.
using NetworkThreads = std::shared_ptr<pthreadpool>;

// `count` threads, the caller's included (empty for 1 or fewer). Throws
// std::runtime_error when they cannot be started.
NetworkThreads makeNetworkThreads(int count);

class XnnpackNetwork {
 public:
  // The network for an input of height × width × channels, whatever size the
  // graph declares: a convolutional network takes any. Throws
  // std::runtime_error naming what the network cannot run.
  XnnpackNetwork(const OnnxGraph& graph, int height, int width, int channels,
                 NetworkThreads threads = {});
  ~XnnpackNetwork();
  XnnpackNetwork(XnnpackNetwork&&) noexcept;
  XnnpackNetwork& operator=(XnnpackNetwork&&) noexcept;

  // The input, height × width × channels floats, written before `run`.
  float* input();
  // The graph's outputs in its order, as the last `run` left them.
  const std::vector<std::vector<float>>& outputs() const;
  // Throws std::runtime_error when XNNPACK fails.
  void run();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace vision
