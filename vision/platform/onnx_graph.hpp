#pragma once
// An ONNX model read into plain values: its nodes in execution order with
// their integer attributes, and its constant tensors (floats and 64-bit
// integers). Enough of the format for small convolutional networks; the
// network itself is built from these values elsewhere.
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace vision {

struct OnnxNode {
  std::string op;
  std::vector<std::string> inputs;
  std::vector<std::string> outputs;
  std::map<std::string, std::vector<int64_t>> ints;  // integer and integer-list attributes
};

struct OnnxConstant {
  std::vector<int64_t> dims;
  std::vector<float> floats;    // a float tensor's values
  std::vector<int64_t> int64s;  // a 64-bit integer tensor's values
};

struct OnnxGraph {
  std::vector<OnnxNode> nodes;
  std::map<std::string, OnnxConstant> constants;
  std::vector<std::string> inputs;  // computed inputs, constants left out
  std::vector<std::string> outputs;
};

// Reads a model's bytes. Throws std::runtime_error for a damaged file or a
// constant of a type other than float and 64-bit integer.
OnnxGraph readOnnxGraph(const unsigned char* bytes, size_t size);

}  // namespace vision
