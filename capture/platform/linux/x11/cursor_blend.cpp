#include "platform/linux/x11/cursor_blend.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace capture {

namespace platform::x11 {

void blendCursor(uint8_t* frame, size_t bytesPerRow, int frameWidth, int frameHeight,
                 const CursorImage& cursor, double x, double y, double scaleX, double scaleY) {
  if (!cursor.argb || cursor.width <= 0 || cursor.height <= 0 || scaleX <= 0 || scaleY <= 0) return;
  const double drawnWidth = cursor.width * scaleX, drawnHeight = cursor.height * scaleY;
  const int left = std::max(0, static_cast<int>(std::floor(x)));
  const int top = std::max(0, static_cast<int>(std::floor(y)));
  const int right = std::min(frameWidth, static_cast<int>(std::ceil(x + drawnWidth)));
  const int bottom = std::min(frameHeight, static_cast<int>(std::ceil(y + drawnHeight)));
  for (int fy = top; fy < bottom; ++fy) {
    const int cy = static_cast<int>((fy + 0.5 - y) / scaleY);
    if (cy < 0 || cy >= cursor.height) continue;
    uint8_t* row = frame + static_cast<size_t>(fy) * bytesPerRow;
    for (int fx = left; fx < right; ++fx) {
      const int cx = static_cast<int>((fx + 0.5 - x) / scaleX);
      if (cx < 0 || cx >= cursor.width) continue;
      const uint32_t p = cursor.argb[static_cast<size_t>(cy) * cursor.width + cx];
      const uint32_t alpha = p >> 24;
      if (alpha == 0) continue;
      uint8_t* d = row + static_cast<size_t>(fx) * 4;
      const uint32_t inverse = 255 - alpha;
      // Premultiplied "over": source + destination × (1 − alpha).
      d[0] =
          static_cast<uint8_t>(std::min<uint32_t>(255, (p & 0xFF) + (d[0] * inverse + 127) / 255));
      d[1] = static_cast<uint8_t>(
          std::min<uint32_t>(255, ((p >> 8) & 0xFF) + (d[1] * inverse + 127) / 255));
      d[2] = static_cast<uint8_t>(
          std::min<uint32_t>(255, ((p >> 16) & 0xFF) + (d[2] * inverse + 127) / 255));
      d[3] = 255;
    }
  }
}

void copyOpaque(uint8_t* destination, size_t destinationBytesPerRow, const uint8_t* source,
                size_t sourceBytesPerRow, int width, int rows) {
  // Four pixels at a time as two 64-bit words: the compiler turns the 16-byte
  // copies into single vector moves, without alignment demands.
  constexpr uint64_t kAlphaPair = 0xFF000000FF000000ull;
  for (int y = 0; y < rows; ++y) {
    uint8_t* d = destination + static_cast<size_t>(y) * destinationBytesPerRow;
    const uint8_t* s = source + static_cast<size_t>(y) * sourceBytesPerRow;
    int x = 0;
    for (; x + 4 <= width; x += 4) {
      uint64_t pixels[2];
      std::memcpy(pixels, s + x * 4, sizeof pixels);
      pixels[0] |= kAlphaPair;
      pixels[1] |= kAlphaPair;
      std::memcpy(d + x * 4, pixels, sizeof pixels);
    }
    for (; x < width; ++x) {
      uint32_t pixel;
      std::memcpy(&pixel, s + x * 4, sizeof pixel);
      pixel |= 0xFF000000u;
      std::memcpy(d + x * 4, &pixel, sizeof pixel);
    }
  }
}

}  // namespace platform::x11

}  // namespace capture
