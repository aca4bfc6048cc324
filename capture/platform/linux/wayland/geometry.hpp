#pragma once
// The arithmetic of the Wayland backend that needs no server: which portal
// stream shows a display, which pixels of a stream's frame to capture, and
// the stable id of an output.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "platform/content.hpp"

namespace capture {

namespace platform::wayland {

// A stream the screen-cast portal started: its PipeWire node and, when the
// portal says, where it lies on the desktop and how large it is.
struct PortalStream {
  uint32_t node = 0;
  std::optional<std::pair<int32_t, int32_t>> position;
  std::optional<std::pair<int32_t, int32_t>> size;
};

// The stream that shows the display at `frame` (points), whose output is
// `pixelWidth` x `pixelHeight` pixels: same size (in points, or in pixels, as
// portals differ there) and, when the portal tells it, the same position.
// Nothing when no stream does: the user picked something else.
std::optional<size_t> matchStream(const Rect& frame, int64_t pixelWidth, int64_t pixelHeight,
                                  const std::vector<PortalStream>& streams);

struct PixelRect {
  int64_t x = 0, y = 0, width = 0, height = 0;
  bool operator==(const PixelRect&) const = default;
};

// The pixels of a `frameWidth` x `frameHeight` frame to capture: the region
// the compositor marks as the content (crop metadata; the whole frame without
// it), clipped to the frame, and inside it the source rectangle, given in
// points of content that is `pointsWidth` points wide. Never empty while the
// frame is not.
PixelRect sourceRegion(int64_t frameWidth, int64_t frameHeight, std::optional<PixelRect> crop,
                       double pointsWidth, std::optional<Rect> sourceRect);

// The display id of an output, the same on every run: a hash of its name
// (never 0).
uint32_t displayId(std::string_view outputName);

}  // namespace platform::wayland

}  // namespace capture
