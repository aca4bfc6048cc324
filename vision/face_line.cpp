#include "face_line.hpp"

#include <cstdio>

namespace vision {

const NormalizedRect* largestFace(const std::vector<NormalizedRect>& faces) {
  const NormalizedRect* best = nullptr;
  for (const NormalizedRect& face : faces)
    if (best == nullptr || best->width * best->height < face.width * face.height) best = &face;
  return best;
}

std::string faceLine(const std::vector<NormalizedRect>& faces) {
  const NormalizedRect* best = largestFace(faces);
  if (best == nullptr) return "null\n";
  const double top = best->y + best->height;
  static constexpr char format[] = "{\"x\":%.4f,\"y\":%.4f,\"w\":%.4f,\"h\":%.4f}\n";
  const int n = std::snprintf(nullptr, 0, format, best->x, 1.0 - top, best->width, best->height);
  std::string line(static_cast<size_t>(n), '\0');
  std::snprintf(line.data(), line.size() + 1, format, best->x, 1.0 - top, best->width,
                best->height);
  return line;
}

}  // namespace vision
