#pragma once
// Faces mode: the largest face of a frame, one line of JSON.
#include "pixel_buffer.hpp"
#include "session.hpp"

namespace vision {

// Writes the frame's face line to the session's output, or ends the process
// through `fail`.
void faces(Session& session, const PixelBuffer& buffer);

}  // namespace vision
