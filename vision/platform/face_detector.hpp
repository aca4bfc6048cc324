#pragma once
// Face rectangles in a frame, as the face-detection service gives them.
#include <vector>

#include "pixel_buffer.hpp"
#include "platform/normalized_rect.hpp"

// Faces in the service's order, each a normalised box with a lower-left
// origin. Throws VisionError when detection fails.
std::vector<NormalizedRect> detectFaceRectangles(const PixelBuffer& buffer);
