#pragma once
// Segment mode: the person mask of a frame, one byte per pixel.
#include "pixel_buffer.hpp"
#include "session.hpp"

namespace vision {

// Writes the frame's width × height mask bytes to the session's output, or
// ends the process through `fail`.
void segment(Session& session, const PixelBuffer& buffer);

}  // namespace vision
