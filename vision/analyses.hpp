#pragma once
// The three analyses. Each writes exactly one result for the frame to standard
// output, or ends the process through `fail`.
#include "pixel_buffer.hpp"

void segment(const PixelBuffer& buffer);
void faces(const PixelBuffer& buffer);
void text(const PixelBuffer& buffer);
