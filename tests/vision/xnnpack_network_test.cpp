#include <gtest/gtest.h>

#include <opencv2/dnn.hpp>

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "blazeface_back_256.h"
#include "blazeface_front_128.h"
#include "platform/onnx_graph.hpp"
#include "platform/xnnpack_network.hpp"

namespace vision {
namespace {

// The face models run as OpenCV's importer runs them, at the size they were
// exported for: layouts, paddings, strides and the channel padding all land.
TEST(XnnpackNetwork, GivesWhatOpenCVGivesOnTheFaceModels) {
  const struct {
    const unsigned char* bytes;
    size_t size;
    int side;
  } models[] = {{blazeface_front_128, blazeface_front_128_size, 128},
                {blazeface_back_256, blazeface_back_256_size, 256}};
  for (const auto& m : models) {
    const int shape[] = {1, m.side, m.side, 3};
    cv::Mat input(4, shape, CV_32F);
    cv::randu(input, -1.0f, 1.0f);
    cv::dnn::Net reference =
        cv::dnn::readNetFromONNX(reinterpret_cast<const char*>(m.bytes), m.size);
    reference.setInput(input);
    std::vector<cv::Mat> expected;
    reference.forward(expected, reference.getUnconnectedOutLayersNames());

    XnnpackNetwork network(readOnnxGraph(m.bytes, m.size), m.side, m.side, 3,
                           makeNetworkThreads(2));
    std::copy_n(input.ptr<float>(), input.total(), network.input());
    network.run();
    ASSERT_EQ(network.outputs().size(), expected.size());
    for (const cv::Mat& want : expected) {
      const auto got = std::find_if(network.outputs().begin(), network.outputs().end(),
                                    [&](const auto& o) { return o.size() == want.total(); });
      ASSERT_NE(got, network.outputs().end());
      for (size_t i = 0; i < want.total(); ++i)
        ASSERT_NEAR((*got)[i], want.ptr<float>()[i], 1e-3f) << m.side << " at " << i;
    }
  }
}

TEST(XnnpackNetwork, RefusesWhatItCannotRun) {
  OnnxGraph base;
  base.inputs = {"in"};
  base.outputs = {"out"};
  base.constants["w"] = {{8, 2, 1, 1}, std::vector<float>(16), {}};
  base.constants["shape"] = {{4}, {}, {1, 2, 4, 4}};
  const struct {
    OnnxNode node;
    const char* says;
  } cases[] = {
      {{"Softmax", {"in"}, {"out"}, {}}, "Softmax"},
      {{"Conv", {"in", "w"}, {"out"}, {{"group", {2}}}}, "groups"},
      {{"Concat", {"in", "in"}, {"out"}, {{"axis", {1}}}}, "padded with zeros"},
  };
  for (const auto& c : cases) {
    OnnxGraph graph = base;
    graph.nodes = {{"Transpose", {"in"}, {"nchw"}, {{"perm", {0, 3, 1, 2}}}}, c.node};
    graph.nodes[1].inputs[0] = "nchw";
    try {
      XnnpackNetwork network(graph, 4, 4, 4);
      ADD_FAILURE() << c.says << " was taken";
    } catch (const std::runtime_error& e) {
      EXPECT_NE(std::string(e.what()).find(c.says), std::string::npos) << e.what();
    }
  }
}

TEST(OnnxGraph, RefusesDamagedBytes) {
  const unsigned char cut[] = {0x3a, 0x10, 0x0a};  // a graph whose length runs past the end
  EXPECT_THROW(readOnnxGraph(cut, sizeof cut), std::runtime_error);
  std::vector<unsigned char> truncated(blazeface_front_128, blazeface_front_128 + 4000);
  EXPECT_THROW(readOnnxGraph(truncated.data(), truncated.size()), std::runtime_error);
}

}  // namespace
}  // namespace vision
