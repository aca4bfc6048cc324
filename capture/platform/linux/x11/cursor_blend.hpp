#pragma once
// Draws the pointer image into a BGRA frame.
#include <cstddef>
#include <cstdint>

namespace capture {

namespace platform::x11 {

struct CursorImage {
  const uint32_t* argb = nullptr;  // premultiplied ARGB, as XFixes hands it out
  int width = 0, height = 0;
};

// Blends the cursor over the frame with its top-left corner at (x, y) in
// frame pixels, each cursor pixel covering scaleX x scaleY frame pixels
// (nearest neighbour). Parts outside the frame are clipped; alpha stays 255.
void blendCursor(uint8_t* frame, size_t bytesPerRow, int frameWidth, int frameHeight,
                 const CursorImage& cursor, double x, double y, double scaleX, double scaleY);

// Copies `rows` rows of 32-bit pixels and sets every alpha byte to 255.
void copyOpaque(uint8_t* destination, size_t destinationBytesPerRow, const uint8_t* source,
                size_t sourceBytesPerRow, int width, int rows);

}  // namespace platform::x11

}  // namespace capture
