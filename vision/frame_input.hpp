#pragma once
// Reading frames from the input and wrapping them in pixel buffers.
#include <cstdint>
#include <vector>

#include "pixel_buffer.hpp"

namespace vision {

// Fills `frame` with the next frame.size() bytes of `input`, asking each time
// for exactly the bytes still missing, so nothing of the following frame is
// taken. False at a clean end of input; `fail`s with "truncated frame" when the
// input ends inside a frame.
bool readFrame(int input, std::vector<uint8_t>& frame);
// The same into `wanted` bytes at `frame`.
bool readFrame(int input, uint8_t* frame, size_t wanted);

// A new buffer of width × height BGRA pixels whose rows start on 64-byte
// boundaries (so a row can be longer than width × 4 bytes), holding the
// frame's rows, which lie width × 4 bytes apart in `from`.
PixelBuffer pixelBuffer(const std::vector<uint8_t>& from, int64_t width, int64_t height);

}  // namespace vision
