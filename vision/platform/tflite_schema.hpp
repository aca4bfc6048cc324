#pragma once
// Read-only accessors for the part of the TensorFlow Lite model format that
// the segmentation models use. Each table lists only the fields read here;
// the numbers are the fields' positions in the format (slot = 4 + 2 × index),
// which the format never renumbers. Every accessor is checked by Verify()
// before anything is read, so a damaged file is refused, not followed.
#include <flatbuffers/flatbuffers.h>

#include <cstdint>

namespace vision::tflite_schema {

using flatbuffers::Offset;
using flatbuffers::String;
using flatbuffers::Vector;
using flatbuffers::Verifier;

constexpr flatbuffers::voffset_t slot(int index) {
  return static_cast<flatbuffers::voffset_t>(4 + 2 * index);
}

// Tensor element types.
enum TensorType : int8_t { kFloat32 = 0, kFloat16 = 1, kInt32 = 2 };

// Padding of convolutions and pools.
enum Padding : int8_t { kSame = 0, kValid = 1 };

// Activation fused into an operator.
enum Activation : int8_t { kNone = 0, kRelu = 1, kReluN1To1 = 2, kRelu6 = 3 };

struct Buffer : private flatbuffers::Table {
  const Vector<uint8_t>* data() const { return GetPointer<const Vector<uint8_t>*>(slot(0)); }
  // Newer files may keep large data outside the flatbuffer.
  uint64_t offset() const { return GetField<uint64_t>(slot(1), 0); }
  bool Verify(Verifier& v) const {
    return VerifyTableStart(v) && VerifyOffset(v, slot(0)) && v.VerifyVector(data()) &&
           VerifyField<uint64_t>(v, slot(1), 8) && v.EndTable();
  }
};

struct Tensor : private flatbuffers::Table {
  const Vector<int32_t>* shape() const { return GetPointer<const Vector<int32_t>*>(slot(0)); }
  int8_t type() const { return GetField<int8_t>(slot(1), kFloat32); }
  uint32_t buffer() const { return GetField<uint32_t>(slot(2), 0); }
  const String* name() const { return GetPointer<const String*>(slot(3)); }
  bool Verify(Verifier& v) const {
    return VerifyTableStart(v) && VerifyOffset(v, slot(0)) && v.VerifyVector(shape()) &&
           VerifyField<int8_t>(v, slot(1), 1) && VerifyField<uint32_t>(v, slot(2), 4) &&
           VerifyOffset(v, slot(3)) && v.VerifyString(name()) && v.EndTable();
  }
};

// The option tables share one shape: a few scalars read by position. Which
// table an operator carries is told by the operator's builtin code; the
// scalars are read with their defaults when absent.
struct Options : private flatbuffers::Table {
  template <typename T>
  T at(int index, T fallback) const {
    return GetField<T>(slot(index), fallback);
  }
  // Verifies the vtable and that each of the first `count` fields, if
  // present, lies inside the buffer at the given width.
  bool verifyScalars(Verifier& v, const uint8_t* widths, int count) const {
    if (!VerifyTableStart(v)) return false;
    for (int i = 0; i < count; ++i) {
      bool ok = true;
      switch (widths[i]) {
        case 1:
          ok = VerifyField<int8_t>(v, slot(i), 1);
          break;
        case 4:
          ok = VerifyField<int32_t>(v, slot(i), 4);
          break;
        default:
          ok = false;
      }
      if (!ok) return false;
    }
    return v.EndTable();
  }
};

struct Operator : private flatbuffers::Table {
  uint32_t opcodeIndex() const { return GetField<uint32_t>(slot(0), 0); }
  const Vector<int32_t>* inputs() const { return GetPointer<const Vector<int32_t>*>(slot(1)); }
  const Vector<int32_t>* outputs() const { return GetPointer<const Vector<int32_t>*>(slot(2)); }
  uint8_t optionsType() const { return GetField<uint8_t>(slot(3), 0); }
  const Options* options() const { return GetPointer<const Options*>(slot(4)); }
  const Vector<uint8_t>* customOptions() const {
    return GetPointer<const Vector<uint8_t>*>(slot(5));
  }
  // The options table itself is verified by the reader once it knows which
  // option table the operator's code implies.
  bool Verify(Verifier& v) const {
    return VerifyTableStart(v) && VerifyField<uint32_t>(v, slot(0), 4) &&
           VerifyOffset(v, slot(1)) && v.VerifyVector(inputs()) && VerifyOffset(v, slot(2)) &&
           v.VerifyVector(outputs()) && VerifyField<uint8_t>(v, slot(3), 1) &&
           VerifyOffset(v, slot(4)) && VerifyOffset(v, slot(5)) &&
           v.VerifyVector(customOptions()) && v.EndTable();
  }
};

struct SubGraph : private flatbuffers::Table {
  const Vector<Offset<Tensor>>* tensors() const {
    return GetPointer<const Vector<Offset<Tensor>>*>(slot(0));
  }
  const Vector<int32_t>* inputs() const { return GetPointer<const Vector<int32_t>*>(slot(1)); }
  const Vector<int32_t>* outputs() const { return GetPointer<const Vector<int32_t>*>(slot(2)); }
  const Vector<Offset<Operator>>* operators() const {
    return GetPointer<const Vector<Offset<Operator>>*>(slot(3));
  }
  bool Verify(Verifier& v) const {
    return VerifyTableStart(v) && VerifyOffset(v, slot(0)) && v.VerifyVector(tensors()) &&
           v.VerifyVectorOfTables(tensors()) && VerifyOffset(v, slot(1)) &&
           v.VerifyVector(inputs()) && VerifyOffset(v, slot(2)) && v.VerifyVector(outputs()) &&
           VerifyOffset(v, slot(3)) && v.VerifyVector(operators()) &&
           v.VerifyVectorOfTables(operators()) && v.EndTable();
  }
};

struct OperatorCode : private flatbuffers::Table {
  int8_t deprecatedBuiltinCode() const { return GetField<int8_t>(slot(0), 0); }
  const String* customCode() const { return GetPointer<const String*>(slot(1)); }
  int32_t builtinCode() const { return GetField<int32_t>(slot(3), 0); }
  bool Verify(Verifier& v) const {
    return VerifyTableStart(v) && VerifyField<int8_t>(v, slot(0), 1) && VerifyOffset(v, slot(1)) &&
           v.VerifyString(customCode()) && VerifyField<int32_t>(v, slot(3), 4) && v.EndTable();
  }
};

struct Model : private flatbuffers::Table {
  const Vector<Offset<OperatorCode>>* operatorCodes() const {
    return GetPointer<const Vector<Offset<OperatorCode>>*>(slot(1));
  }
  const Vector<Offset<SubGraph>>* subgraphs() const {
    return GetPointer<const Vector<Offset<SubGraph>>*>(slot(2));
  }
  const Vector<Offset<Buffer>>* buffers() const {
    return GetPointer<const Vector<Offset<Buffer>>*>(slot(4));
  }
  bool Verify(Verifier& v) const {
    return VerifyTableStart(v) && VerifyOffset(v, slot(1)) && v.VerifyVector(operatorCodes()) &&
           v.VerifyVectorOfTables(operatorCodes()) && VerifyOffset(v, slot(2)) &&
           v.VerifyVector(subgraphs()) && v.VerifyVectorOfTables(subgraphs()) &&
           VerifyOffset(v, slot(4)) && v.VerifyVector(buffers()) &&
           v.VerifyVectorOfTables(buffers()) && v.EndTable();
  }
};

}  // namespace vision::tflite_schema
