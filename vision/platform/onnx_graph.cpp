#include "platform/onnx_graph.hpp"

#include <cstring>
#include <functional>
#include <stdexcept>

namespace vision {

namespace {

// The protobuf wire format, read just far enough for ONNX's messages.
struct Field {
  uint32_t number;
  uint32_t type;  // 0 varint, 1 fixed 64, 2 length-delimited, 5 fixed 32
  size_t begin;   // the value (for type 2, its bytes after the length)
  size_t end;
  uint64_t value;  // a varint's value
};

[[noreturn]] void refuse(const std::string& why) {
  throw std::runtime_error("damaged ONNX model: " + why);
}

struct Reader {
  const unsigned char* b;

  uint64_t varint(size_t& at, size_t end) const {
    uint64_t value = 0;
    for (int shift = 0; shift < 64; shift += 7) {
      if (at >= end) refuse("a number runs past its message");
      const unsigned char c = b[at++];
      value |= static_cast<uint64_t>(c & 0x7f) << shift;
      if ((c & 0x80) == 0) return value;
    }
    refuse("a number is too long");
  }

  void fields(size_t begin, size_t end, const std::function<void(const Field&)>& visit) const {
    size_t at = begin;
    while (at < end) {
      const uint64_t key = varint(at, end);
      Field f{static_cast<uint32_t>(key >> 3), static_cast<uint32_t>(key & 7), at, at, 0};
      if (f.type == 0) {
        f.value = varint(at, end);
      } else if (f.type == 1) {
        at += 8;
      } else if (f.type == 5) {
        at += 4;
      } else if (f.type == 2) {
        const uint64_t length = varint(at, end);
        if (length > end - at) refuse("a field runs past its message");
        f.begin = at;
        at += length;
      } else {
        refuse("unknown field type");
      }
      if (at > end) refuse("a field runs past its message");
      f.end = at;
      visit(f);
    }
  }

  std::string text(const Field& f) const {
    return std::string(reinterpret_cast<const char*>(b + f.begin), f.end - f.begin);
  }

  // A repeated integer field, one varint or a packed run of them.
  void appendInts(const Field& f, std::vector<int64_t>& to) const {
    if (f.type == 0) {
      to.push_back(static_cast<int64_t>(f.value));
    } else if (f.type == 2) {
      for (size_t at = f.begin; at < f.end;) to.push_back(static_cast<int64_t>(varint(at, f.end)));
    }
  }
};

// ONNX field numbers: ModelProto.graph 7; GraphProto node 1, initializer 5,
// input 11, output 12; NodeProto input 1, output 2, op_type 4, attribute 5;
// AttributeProto name 1, i 3, ints 8; TensorProto dims 1, data_type 2,
// float_data 4, int64_data 7, name 8, raw_data 9; ValueInfoProto name 1.
constexpr uint64_t floatType = 1;
constexpr uint64_t int64Type = 7;

OnnxNode readNode(const Reader& r, const Field& node) {
  OnnxNode n;
  r.fields(node.begin, node.end, [&](const Field& f) {
    if (f.number == 1 && f.type == 2) n.inputs.push_back(r.text(f));
    if (f.number == 2 && f.type == 2) n.outputs.push_back(r.text(f));
    if (f.number == 4 && f.type == 2) n.op = r.text(f);
    if (f.number != 5 || f.type != 2) return;
    std::string name;
    std::vector<int64_t> values;
    r.fields(f.begin, f.end, [&](const Field& a) {
      if (a.number == 1 && a.type == 2) name = r.text(a);
      if (a.number == 3 || a.number == 8) r.appendInts(a, values);
    });
    if (!name.empty()) n.ints[name] = std::move(values);
  });
  return n;
}

std::pair<std::string, OnnxConstant> readConstant(const Reader& r, const Field& tensor) {
  std::string name;
  OnnxConstant c;
  uint64_t type = 0;
  Field raw{};
  std::vector<int64_t> ints;
  r.fields(tensor.begin, tensor.end, [&](const Field& f) {
    if (f.number == 1) r.appendInts(f, c.dims);
    if (f.number == 2 && f.type == 0) type = f.value;
    if (f.number == 8 && f.type == 2) name = r.text(f);
    if (f.number == 9 && f.type == 2) raw = f;
    if (f.number == 7) r.appendInts(f, ints);
    if (f.number == 4 && f.type == 2) {
      for (size_t at = f.begin; at + 4 <= f.end; at += 4) {
        float v;
        std::memcpy(&v, r.b + at, 4);
        c.floats.push_back(v);
      }
    }
  });
  const size_t rawBytes = raw.end - raw.begin;
  if (type == floatType) {
    if (rawBytes % 4 != 0) refuse("constant " + name + " has a partial float");
    for (size_t at = raw.begin; at < raw.end; at += 4) {
      float v;
      std::memcpy(&v, r.b + at, 4);
      c.floats.push_back(v);
    }
  } else if (type == int64Type) {
    if (rawBytes % 8 != 0) refuse("constant " + name + " has a partial integer");
    c.int64s = std::move(ints);
    for (size_t at = raw.begin; at < raw.end; at += 8) {
      int64_t v;
      std::memcpy(&v, r.b + at, 8);
      c.int64s.push_back(v);
    }
  } else {
    refuse("constant " + name + " is neither float nor 64-bit integer");
  }
  size_t count = 1;
  for (int64_t d : c.dims) {
    if (d < 0) refuse("constant " + name + " has a negative size");
    count *= static_cast<size_t>(d);
  }
  if (count != (type == floatType ? c.floats.size() : c.int64s.size()))
    refuse("constant " + name + " holds other than its size");
  return {name, std::move(c)};
}

}  // namespace

OnnxGraph readOnnxGraph(const unsigned char* bytes, size_t size) {
  const Reader r{bytes};
  Field graph{};
  r.fields(0, size, [&](const Field& f) {
    if (f.number == 7 && f.type == 2) graph = f;
  });
  if (graph.end == 0) refuse("no graph");
  OnnxGraph g;
  std::vector<std::string> declaredInputs;
  r.fields(graph.begin, graph.end, [&](const Field& f) {
    if (f.type != 2) return;
    if (f.number == 1) g.nodes.push_back(readNode(r, f));
    if (f.number == 5) g.constants.insert(readConstant(r, f));
    if (f.number == 11 || f.number == 12) {
      std::string name;
      r.fields(f.begin, f.end, [&](const Field& v) {
        if (v.number == 1 && v.type == 2) name = r.text(v);
      });
      (f.number == 11 ? declaredInputs : g.outputs).push_back(name);
    }
  });
  for (const std::string& name : declaredInputs)
    if (!g.constants.count(name)) g.inputs.push_back(name);
  return g;
}

}  // namespace vision
