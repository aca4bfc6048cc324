#include "platform/linux/wayland/frame_damage.hpp"

#include <algorithm>

namespace capture {

namespace platform::wayland {

void FrameDamage::add(std::optional<uint64_t> sequence,
                      const std::optional<std::vector<PixelRect>>& damage) {
  // A gap in the sequence is a frame the producer sent that never came.
  const bool follows = sequence && lastSequence_ && *sequence == *lastSequence_ + 1;
  lastSequence_ = sequence;
  if (!follows || !damage || !pending_) {
    pending_.reset();
    return;
  }
  pending_->insert(pending_->end(), damage->begin(), damage->end());
}

void FrameDamage::lose() { pending_.reset(); }

std::optional<std::vector<RowSpan>> FrameDamage::take(const PixelRect& region) {
  std::optional<std::vector<PixelRect>> damage = std::move(pending_);
  pending_.emplace();
  if (!damage) return std::nullopt;
  std::vector<RowSpan> rows;
  for (const PixelRect& d : *damage) {
    if (d.x >= region.x + region.width || d.x + d.width <= region.x) continue;
    const int64_t top = std::max(d.y, region.y) - region.y;
    const int64_t bottom = std::min(d.y + d.height, region.y + region.height) - region.y;
    if (top < bottom) rows.push_back({static_cast<int32_t>(top), static_cast<int32_t>(bottom)});
  }
  return rows;
}

}  // namespace platform::wayland

}  // namespace capture
