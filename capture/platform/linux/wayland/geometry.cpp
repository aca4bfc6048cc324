#include "platform/linux/wayland/geometry.hpp"

#include <algorithm>
#include <cmath>

namespace capture {

namespace platform::wayland {

namespace {

bool near(double a, double b) { return std::fabs(a - b) < 1.0; }

// `r` cut down to what lies inside `bounds`.
PixelRect clip(PixelRect r, PixelRect bounds) {
  const int64_t left = std::clamp(r.x, bounds.x, bounds.x + bounds.width);
  const int64_t top = std::clamp(r.y, bounds.y, bounds.y + bounds.height);
  const int64_t right = std::clamp(r.x + r.width, left, bounds.x + bounds.width);
  const int64_t bottom = std::clamp(r.y + r.height, top, bounds.y + bounds.height);
  return {left, top, right - left, bottom - top};
}

}  // namespace

std::optional<size_t> matchStream(const Rect& frame, int64_t pixelWidth, int64_t pixelHeight,
                                  const std::vector<PortalStream>& streams) {
  for (size_t i = 0; i < streams.size(); ++i) {
    const PortalStream& s = streams[i];
    if (!s.size) continue;
    const auto [w, h] = *s.size;
    const bool sizeMatches =
        (near(w, frame.width) && near(h, frame.height)) || (w == pixelWidth && h == pixelHeight);
    if (!sizeMatches) continue;
    if (s.position && !(near(s.position->first, frame.x) && near(s.position->second, frame.y)))
      continue;
    return i;
  }
  return std::nullopt;
}

PixelRect sourceRegion(int64_t frameWidth, int64_t frameHeight, std::optional<PixelRect> crop,
                       double pointsWidth, std::optional<Rect> sourceRect) {
  const PixelRect frame{0, 0, frameWidth, frameHeight};
  PixelRect content = clip(crop.value_or(frame), frame);
  if (content.width < 1 || content.height < 1) content = frame;
  if (!sourceRect || pointsWidth <= 0) return content;
  const double perPoint = static_cast<double>(content.width) / pointsWidth;
  const auto edge = [perPoint](double points) {
    return static_cast<int64_t>(std::llround(points * perPoint));
  };
  const PixelRect inside{content.x + edge(sourceRect->x), content.y + edge(sourceRect->y),
                         edge(sourceRect->width), edge(sourceRect->height)};
  const PixelRect region = clip(inside, content);
  return region.width < 1 || region.height < 1 ? content : region;
}

uint32_t displayId(std::string_view outputName) {
  uint32_t hash = 2166136261u;  // FNV-1a
  for (unsigned char c : outputName) hash = (hash ^ c) * 16777619u;
  return hash == 0 ? 1 : hash;
}

}  // namespace platform::wayland

}  // namespace capture
