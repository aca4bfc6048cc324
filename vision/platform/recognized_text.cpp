#include "platform/recognized_text.hpp"

#include <algorithm>

namespace vision {

std::optional<NormalizedRect> rangeBoundingBox(const RecognizedLine& line, size_t byteBegin,
                                               size_t byteEnd) {
  std::optional<NormalizedRect> box;
  double maxX = 0;
  double maxY = 0;
  for (const TextSymbol& symbol : line.symbols) {
    if (symbol.byteEnd <= byteBegin || symbol.byteBegin >= byteEnd) continue;
    const NormalizedRect& r = symbol.box;
    if (!box) {
      box = r;
      maxX = r.x + r.width;
      maxY = r.y + r.height;
      continue;
    }
    box->x = std::min(box->x, r.x);
    box->y = std::min(box->y, r.y);
    maxX = std::max(maxX, r.x + r.width);
    maxY = std::max(maxY, r.y + r.height);
  }
  if (box) {
    box->width = maxX - box->x;
    box->height = maxY - box->y;
  }
  return box;
}

}  // namespace vision
