#pragma once
// The host clock on which capture samples are stamped, and the wall clock.
#include "platform/cm_time.hpp"

namespace capture {

namespace platform {

CMTime hostClockNow();
// Seconds since 1970-01-01 00:00:00 UTC.
double wallClockNow();

}  // namespace platform

}  // namespace capture
