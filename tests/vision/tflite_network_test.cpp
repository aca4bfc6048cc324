// The OpenCV network built from each segmentation model against the slow
// reference evaluation of the same model, tensor by tensor; and the reader's
// refusals of files it must not follow.
#include <gtest/gtest.h>

#include <flatbuffers/flatbuffers.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "platform/normalized_rect.hpp"
#include "platform/tflite_model.hpp"
#include "platform/tflite_network.hpp"
#include "selfieSegmentationLandscapeModel.h"
#include "selfieSegmentationModel.h"
#include "vision/tflite_reference.hpp"


namespace {

std::vector<uint8_t> modelBytes(bool landscape) {
  if (landscape)
    return {selfieSegmentationLandscapeModel,
            selfieSegmentationLandscapeModel + selfieSegmentationLandscapeModel_size};
  return {selfieSegmentationModel, selfieSegmentationModel + selfieSegmentationModel_size};
}

// NHWC input in [0, 1]: random noise, or a photograph stretched to the size.
std::vector<float> noiseInput(int h, int w, unsigned seed) {
  std::vector<float> in(static_cast<size_t>(h) * w * 3);
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> unit(0.f, 1.f);
  for (float& v : in) v = unit(rng);
  return in;
}

std::vector<float> photoInput(const std::string& path, int h, int w) {
  cv::Mat image = cv::imread(path, cv::IMREAD_COLOR);
  if (image.empty()) return {};
  cv::Mat small, rgb;
  cv::resize(image, small, cv::Size(w, h), 0, 0, cv::INTER_AREA);
  cv::cvtColor(small, rgb, cv::COLOR_BGR2RGB);
  std::vector<float> in(static_cast<size_t>(h) * w * 3);
  for (size_t i = 0; i < in.size(); ++i) in[i] = rgb.data[i] / 255.f;
  return in;
}

cv::Mat toBlob(const std::vector<float>& nhwc, int h, int w) {
  cv::Mat blob(std::vector<int>{1, 3, h, w}, CV_32F);
  float* out = blob.ptr<float>();
  for (int c = 0; c < 3; ++c)
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) out[(c * h + y) * w + x] = nhwc[(static_cast<size_t>(y) * w + x) * 3 + c];
  return blob;
}

// Runs the network asking for every tensor's layer, and compares each with
// the reference, allowing float rounding relative to the tensor's magnitude.
void expectSameTensors(const TfliteModel& model, TfliteNetwork& network,
                       const std::vector<float>& input) {
  const auto reference = evaluateReference(model, input);
  std::vector<std::string> names;
  std::vector<size_t> tensors;
  for (size_t t = 0; t < network.layerOfTensor.size(); ++t) {
    if (network.layerOfTensor[t].empty()) continue;
    names.push_back(network.layerOfTensor[t]);
    tensors.push_back(t);
  }
  network.net.setInput(toBlob(input, network.inputHeight, network.inputWidth));
  std::vector<cv::Mat> outputs;
  network.net.forward(outputs, names);
  ASSERT_EQ(outputs.size(), names.size());
  for (size_t k = 0; k < names.size(); ++k) {
    const auto& shape = model.tensors[tensors[k]].shape;
    const int h = shape[1], w = shape[2], c = shape[3];
    ASSERT_EQ(outputs[k].total(), static_cast<size_t>(h) * w * c) << names[k];
    const float* got = outputs[k].ptr<float>();
    const auto& want = reference[tensors[k]];
    double worst = 0, magnitude = 0;
    for (int ch = 0; ch < c; ++ch)
      for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
          const double e = want[(static_cast<size_t>(y) * w + x) * c + ch];
          worst = std::max(worst, std::abs(got[(ch * h + y) * w + x] - e));
          magnitude = std::max(magnitude, std::abs(e));
        }
    EXPECT_LE(worst, 1e-5 * (1 + magnitude)) << names[k] << " differs from the reference";
  }
}

struct ModelCase {
  bool landscape;
  int height;
  int width;
};

class SegmentationNetwork : public ::testing::TestWithParam<ModelCase> {};

TEST_P(SegmentationNetwork, MatchesTheReferenceTensorByTensor) {
  const auto bytes = modelBytes(GetParam().landscape);
  const TfliteModel model = readTfliteModel(bytes.data(), bytes.size());
  TfliteNetwork network = buildTfliteNetwork(model);
  ASSERT_EQ(network.inputHeight, GetParam().height);
  ASSERT_EQ(network.inputWidth, GetParam().width);
  ASSERT_EQ(network.inputChannels, 3);

  expectSameTensors(model, network, noiseInput(network.inputHeight, network.inputWidth, 7));
  const auto photo = photoInput("/usr/share/matplotlib/mpl-data/sample_data/grace_hopper.jpg",
                                network.inputHeight, network.inputWidth);
  ASSERT_FALSE(photo.empty()) << "python-matplotlib-data's sample photograph is missing";
  expectSameTensors(model, network, photo);
}

INSTANTIATE_TEST_SUITE_P(BothModels, SegmentationNetwork,
                         ::testing::Values(ModelCase{false, 256, 256}, ModelCase{true, 144, 256}));

// --- Refusals ---------------------------------------------------------------

// A one-operator model in the format, put together field by field: an image
// input, the operator (a builtin code or a custom name) and its output.
std::vector<uint8_t> tinyModel(int32_t builtin, const std::string& custom = "") {
  flatbuffers::FlatBufferBuilder b;
  auto tensor = [&](const char* name) {
    auto shape = b.CreateVector(std::vector<int32_t>{1, 4, 4, 3});
    auto n = b.CreateString(name);
    const auto start = b.StartTable();
    b.AddOffset(4, shape);
    b.AddOffset(10, n);
    return flatbuffers::Offset<void>(b.EndTable(start));
  };
  std::vector<flatbuffers::Offset<void>> tensors{tensor("in"), tensor("out")};
  auto tensorVec = b.CreateVector(tensors);
  auto ins = b.CreateVector(std::vector<int32_t>{0});
  auto outs = b.CreateVector(std::vector<int32_t>{1});
  auto opIns = b.CreateVector(std::vector<int32_t>{0});
  auto opOuts = b.CreateVector(std::vector<int32_t>{1});
  auto opStart = b.StartTable();
  b.AddOffset(6, opIns);
  b.AddOffset(8, opOuts);
  auto op = flatbuffers::Offset<void>(b.EndTable(opStart));
  auto ops = b.CreateVector(std::vector<flatbuffers::Offset<void>>{op});
  auto graphStart = b.StartTable();
  b.AddOffset(4, tensorVec);
  b.AddOffset(6, ins);
  b.AddOffset(8, outs);
  b.AddOffset(10, ops);
  auto graph = flatbuffers::Offset<void>(b.EndTable(graphStart));
  auto graphs = b.CreateVector(std::vector<flatbuffers::Offset<void>>{graph});
  auto customName = custom.empty() ? flatbuffers::Offset<flatbuffers::String>() : b.CreateString(custom);
  auto codeStart = b.StartTable();
  if (!custom.empty()) b.AddOffset(6, customName);
  b.AddElement<int32_t>(10, builtin, 0);
  auto code = flatbuffers::Offset<void>(b.EndTable(codeStart));
  auto codes = b.CreateVector(std::vector<flatbuffers::Offset<void>>{code});
  auto emptyBuffer = flatbuffers::Offset<void>(b.EndTable(b.StartTable()));
  auto buffers = b.CreateVector(std::vector<flatbuffers::Offset<void>>{emptyBuffer});
  auto modelStart = b.StartTable();
  b.AddElement<uint32_t>(4, 3, 0);
  b.AddOffset(6, codes);
  b.AddOffset(8, graphs);
  b.AddOffset(12, buffers);
  b.Finish(flatbuffers::Offset<void>(b.EndTable(modelStart)), "TFL3");
  return {b.GetBufferPointer(), b.GetBufferPointer() + b.GetSize()};
}

std::string refusal(const std::vector<uint8_t>& bytes) {
  try {
    readTfliteModel(bytes.data(), bytes.size());
  } catch (const VisionError& e) {
    return e.what();
  }
  return "";
}

TEST(TfliteModelReader, NamesAnOperatorItDoesNotKnow) {
  EXPECT_EQ(refusal(tinyModel(17)), "unsupported operator MAX_POOL_2D");
  EXPECT_EQ(refusal(tinyModel(32, "FancyUpsample")), "unsupported operator FancyUpsample");
  EXPECT_EQ(refusal(tinyModel(150)), "unsupported operator builtin operator 150");
  // The same file with a known operator is read.
  EXPECT_EQ(refusal(tinyModel(19)), "");
}

TEST(TfliteModelReader, RefusesDamagedFilesWithoutFollowingThem) {
  const auto bytes = modelBytes(true);
  EXPECT_NE(refusal({}), "");
  EXPECT_NE(refusal(std::vector<uint8_t>(bytes.begin(), bytes.begin() + 1000)), "");
  std::vector<uint8_t> wrongKind = bytes;
  wrongKind[4] = 'X';
  EXPECT_EQ(refusal(wrongKind), "model file is not a TensorFlow Lite model");

  // Flipped bytes anywhere: the file is refused, or read into a model whose
  // network is built or refused; nothing is read out of bounds (the
  // sanitizer builds watch that).
  std::mt19937 rng(3);
  for (int round = 0; round < 150; ++round) {
    std::vector<uint8_t> damaged = bytes;
    for (int i = 0; i < 4; ++i) damaged[rng() % damaged.size()] ^= static_cast<uint8_t>(1 + rng() % 255);
    try {
      const TfliteModel model = readTfliteModel(damaged.data(), damaged.size());
      buildTfliteNetwork(model);
    } catch (const VisionError&) {
    } catch (const cv::Exception&) {
    }
  }
}

}  // namespace
