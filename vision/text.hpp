#pragma once
// Text mode: the text lines, their words and all faces of a frame, one
// compact JSON document a line.
#include "pixel_buffer.hpp"
#include "session.hpp"

namespace vision {

// Writes the frame's document and a line feed to the session's output, or
// ends the process through `fail`.
void text(Session& session, const PixelBuffer& buffer);

}  // namespace vision
