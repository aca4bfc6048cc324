#include "platform/clock.hpp"

#include <chrono>
#include <ctime>

namespace capture {

namespace platform {

CMTime hostClockNow() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return CMTimeMake(static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec, 1000000000);
}

double wallClockNow() {
  using namespace std::chrono;
  return duration<double>(system_clock::now().time_since_epoch()).count();
}

}  // namespace platform

}  // namespace capture
