#pragma once
// BlazeFace's ONNX models at another input size. The networks are
// convolutional, but the export fixes the input's height and width in the
// graph, and with it two kinds of constants: the shapes of the zero blocks
// that pad channels (ConstantOfShape, [1, C, h, w] at a fraction of the input)
// and the shapes the heads are flattened to (Reshape, [1, anchors, values]).
// Run on a frame flatter than square, a network at the frame's aspect (256 ×
// 160 instead of 256 × 256 for 16:9) computes only the picture, not the black
// bars of a letterbox.
#include <cstddef>
#include <vector>

namespace vision {

// A copy of the model `bytes` whose input (NHWC, square) is `height` ×
// `width`, each a multiple of the network's coarsest stride. The numbers are
// rewritten in place: a new one must fit in the bytes of the old (a smaller
// one is padded with continuation bytes, which protobuf readers accept).
// Throws std::runtime_error when the model is not laid out so.
std::vector<unsigned char> withInputSize(const unsigned char* bytes, size_t size, int height,
                                         int width);

}  // namespace vision
