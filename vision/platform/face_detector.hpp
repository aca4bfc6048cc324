#pragma once
// Face rectangles in a frame, as the face-detection service gives them.
#include <vector>

#include "pixel_buffer.hpp"
#include "platform/normalized_rect.hpp"

// What the caller needs of a frame's faces.
enum class FaceSearch {
  every,    // all faces of every size the detector covers
  largest,  // the largest face: smaller ones may be left out
};

// Faces in the service's order, each a normalised box with a lower-left
// origin. Throws VisionError when detection fails.
std::vector<NormalizedRect> detectFaceRectangles(const PixelBuffer& buffer,
                                                 FaceSearch search = FaceSearch::every);
