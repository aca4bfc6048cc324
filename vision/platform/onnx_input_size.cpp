#include "platform/onnx_input_size.hpp"

#include <cstdint>
#include <cstring>
#include <functional>
#include <map>
#include <stdexcept>
#include <string>

namespace vision {

namespace {

// The protobuf wire format, read just enough to find and rewrite numbers.
struct Field {
  uint32_t number;
  uint32_t type;  // 0 varint, 1 fixed 64, 2 length-delimited, 5 fixed 32
  size_t begin;   // the value (for type 2, its bytes after the length)
  size_t end;
};

[[noreturn]] void refuse(const std::string& why) {
  throw std::runtime_error("face model cannot take another input size: " + why);
}

uint64_t varint(const std::vector<unsigned char>& b, size_t& at, size_t end) {
  uint64_t value = 0;
  for (int shift = 0; shift < 64; shift += 7) {
    if (at >= end) refuse("damaged message");
    const unsigned char c = b[at++];
    value |= static_cast<uint64_t>(c & 0x7f) << shift;
    if ((c & 0x80) == 0) return value;
  }
  refuse("damaged number");
}

void forEachField(const std::vector<unsigned char>& b, size_t begin, size_t end,
                  const std::function<void(const Field&)>& visit) {
  size_t at = begin;
  while (at < end) {
    const uint64_t key = varint(b, at, end);
    Field f{static_cast<uint32_t>(key >> 3), static_cast<uint32_t>(key & 7), at, at};
    if (f.type == 0) {
      varint(b, at, end);
    } else if (f.type == 1) {
      at += 8;
    } else if (f.type == 5) {
      at += 4;
    } else if (f.type == 2) {
      const uint64_t length = varint(b, at, end);
      if (length > end - at) refuse("damaged message");
      f.begin = at;
      at += length;
    } else {
      refuse("unknown field type");
    }
    if (at > end) refuse("damaged message");
    f.end = at;
    visit(f);
  }
}

std::string text(const std::vector<unsigned char>& b, const Field& f) {
  return std::string(reinterpret_cast<const char*>(b.data() + f.begin), f.end - f.begin);
}

// Writes `value` over the varint at `at`, which must keep its length.
void rewriteVarint(std::vector<unsigned char>& b, size_t at, uint64_t value) {
  size_t end = at;
  varint(b, end, b.size());
  for (size_t i = at; i < end; ++i, value >>= 7)
    b[i] = static_cast<unsigned char>((value & 0x7f) | (i + 1 < end ? 0x80 : 0));
  if (value != 0) refuse("a new size does not fit where the old one was");
}

// ONNX field numbers: ModelProto.graph 7; GraphProto node 1, initializer 5,
// input 11; NodeProto input 1, op_type 4; TensorProto dims 1, data_type 2,
// int64_data 7, name 8, raw_data 9; ValueInfoProto type 2; TypeProto
// tensor_type 1; TypeProto.Tensor shape 2; TensorShapeProto dim 1;
// Dimension dim_value 1.
constexpr int64_t int64Type = 7;

}  // namespace

std::vector<unsigned char> withInputSize(const unsigned char* bytes, size_t size, int height,
                                         int width) {
  std::vector<unsigned char> b(bytes, bytes + size);
  Field graph{};
  forEachField(b, 0, b.size(), [&](const Field& f) {
    if (f.number == 7 && f.type == 2) graph = f;
  });
  if (graph.end == 0) refuse("no graph");

  // Which constants are ConstantOfShape shapes and which Reshape shapes.
  std::map<std::string, bool> padShapes;  // name -> true for ConstantOfShape
  forEachField(b, graph.begin, graph.end, [&](const Field& node) {
    if (node.number != 1 || node.type != 2) return;
    std::string op;
    std::vector<std::string> inputs;
    forEachField(b, node.begin, node.end, [&](const Field& f) {
      if (f.number == 4 && f.type == 2) op = text(b, f);
      if (f.number == 1 && f.type == 2) inputs.push_back(text(b, f));
    });
    if (op == "ConstantOfShape" && inputs.size() == 1) padShapes[inputs[0]] = true;
    if (op == "Reshape" && inputs.size() == 2) padShapes[inputs[1]] = false;
  });

  // The input's height and width, the graph's first input [1, H, W, 3].
  int native = 0;
  bool inputDone = false;
  forEachField(b, graph.begin, graph.end, [&](const Field& input) {
    if (input.number != 11 || input.type != 2 || inputDone) return;
    inputDone = true;
    std::vector<size_t> dims;
    forEachField(b, input.begin, input.end, [&](const Field& type) {
      if (type.number != 2 || type.type != 2) return;
      forEachField(b, type.begin, type.end, [&](const Field& tensor) {
        if (tensor.number != 1 || tensor.type != 2) return;
        forEachField(b, tensor.begin, tensor.end, [&](const Field& shape) {
          if (shape.number != 2 || shape.type != 2) return;
          forEachField(b, shape.begin, shape.end, [&](const Field& dim) {
            if (dim.number != 1 || dim.type != 2) return;
            forEachField(b, dim.begin, dim.end, [&](const Field& value) {
              if (value.number == 1 && value.type == 0) dims.push_back(value.begin);
            });
          });
        });
      });
    });
    if (dims.size() != 4) refuse("the input is not an image");
    size_t at = dims[1];
    native = static_cast<int>(varint(b, at, b.size()));
    at = dims[2];
    if (static_cast<int>(varint(b, at, b.size())) != native) refuse("the input is not square");
    rewriteVarint(b, dims[1], static_cast<uint64_t>(height));
    rewriteVarint(b, dims[2], static_cast<uint64_t>(width));
  });
  if (native <= 0) refuse("no input");

  int rewritten = 0;
  forEachField(b, graph.begin, graph.end, [&](const Field& init) {
    if (init.number != 5 || init.type != 2) return;
    std::string name;
    int64_t type = 0;
    Field raw{}, packed{};
    forEachField(b, init.begin, init.end, [&](const Field& f) {
      if (f.number == 8 && f.type == 2) name = text(b, f);
      if (f.number == 2 && f.type == 0) {
        size_t at = f.begin;
        type = static_cast<int64_t>(varint(b, at, f.end));
      }
      if (f.number == 9 && f.type == 2) raw = f;
      if (f.number == 7 && f.type == 2) packed = f;
    });
    const auto which = padShapes.find(name);
    if (which == padShapes.end() || type != int64Type) return;
    // The values and where each one is written.
    std::vector<int64_t> values;
    std::vector<size_t> places;
    if (raw.end > raw.begin) {
      for (size_t at = raw.begin; at + 8 <= raw.end; at += 8) {
        int64_t v;
        std::memcpy(&v, b.data() + at, 8);
        values.push_back(v);
        places.push_back(at);
      }
    } else {
      for (size_t at = packed.begin; at < packed.end;) {
        places.push_back(at);
        values.push_back(static_cast<int64_t>(varint(b, at, packed.end)));
      }
    }
    std::vector<int64_t> scaled = values;
    if (which->second && values.size() == 4) {
      scaled[2] = values[2] * height / native;
      scaled[3] = values[3] * width / native;
      if (scaled[2] * native != values[2] * height || scaled[3] * native != values[3] * width)
        refuse("a padding block does not scale evenly");
    } else if (!which->second && values.size() == 3) {
      scaled[1] = values[1] * height * width / (static_cast<int64_t>(native) * native);
      if (scaled[1] * native * native != values[1] * height * width)
        refuse("an anchor count does not scale evenly");
    } else {
      refuse("a shape constant of an unexpected length");
    }
    for (size_t i = 0; i < values.size(); ++i) {
      if (raw.end > raw.begin)
        std::memcpy(b.data() + places[i], &scaled[i], 8);
      else
        rewriteVarint(b, places[i], static_cast<uint64_t>(scaled[i]));
    }
    ++rewritten;
  });
  if (rewritten != static_cast<int>(padShapes.size())) refuse("a shape constant was not found");
  return b;
}

}  // namespace vision
