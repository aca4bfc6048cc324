#include "platform/linux/wayland/frame_time.hpp"

namespace capture {

namespace platform::wayland {

namespace {

constexpr int64_t kLatestDelivery = 1'000'000'000;

}  // namespace

int64_t shownTime(std::optional<int64_t> pts, int64_t arrival) {
  if (!pts || *pts > arrival || *pts < arrival - kLatestDelivery) return arrival;
  return *pts;
}

}  // namespace platform::wayland

}  // namespace capture
