#pragma once
// When a screen-cast frame was shown, on the monotonic host clock that audio
// samples are stamped on too.
#include <cstdint>
#include <optional>

namespace capture {

namespace platform::wayland {

// The time (ns, CLOCK_MONOTONIC) of a frame that arrived at `arrival` and
// whose producer stamped it `pts`: screen-cast producers stamp frames on the
// monotonic clock when they were shown. A stamp that cannot be that (none,
// after the arrival, or more than a second before it: another clock) gives
// way to the arrival time.
int64_t shownTime(std::optional<int64_t> pts, int64_t arrival);

}  // namespace platform::wayland

}  // namespace capture
