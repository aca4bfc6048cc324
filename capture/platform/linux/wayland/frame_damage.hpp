#pragma once
// Which rows changed between two frames of a screen cast that were read, from
// the damage each frame carries (relative to the frame its producer sent
// before it), across frames that came in between and were never read.
#include <cstdint>
#include <optional>
#include <vector>

#include "platform/linux/wayland/geometry.hpp"
#include "platform/sample_buffer.hpp"

namespace capture {

namespace platform::wayland {

class FrameDamage {
 public:
  // A frame came: its producer's sequence number and the regions it says
  // changed since its frame before, where it tells them.
  void add(std::optional<uint64_t> sequence, const std::optional<std::vector<PixelRect>>& damage);
  // A frame went by unseen: what changed is not known until the next take.
  void lose();
  // The rows of `region` (as rows from its top) that changed since the last
  // take, nothing when that is not known; then starts over.
  std::optional<std::vector<RowSpan>> take(const PixelRect& region);

 private:
  std::optional<std::vector<PixelRect>> pending_;  // not known before the first take
  std::optional<uint64_t> lastSequence_;
};

}  // namespace platform::wayland

}  // namespace capture
