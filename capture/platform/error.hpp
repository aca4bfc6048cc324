#pragma once
// A failure reported by a platform service. `localizedDescription` is the
// human-readable text the tool passes on in its events.
#include <stdexcept>
#include <string>

namespace capture {

namespace platform {

struct PlatformError : std::runtime_error {
  explicit PlatformError(const std::string& description) : std::runtime_error(description) {}
  std::string localizedDescription() const { return what(); }
};

}  // namespace platform

}  // namespace capture
