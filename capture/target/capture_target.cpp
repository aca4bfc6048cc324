#include "target/capture_target.hpp"

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

namespace capture {

namespace {

constexpr double kDefaultScale = 2.0;
constexpr double kSmallestAreaFraction = 0.05;
constexpr double kAreaEdgeTolerance = 1.0001;

bool contains(const std::vector<int32_t>& pids, int32_t pid) {
  return std::find(pids.begin(), pids.end(), pid) != pids.end();
}

// The area test, in its fixed order: four finite numbers, origin not
// negative, each side at least 5 % of the display, and the far edges at most
// a hair beyond it.
bool areaIsValid(const std::vector<double>& area) {
  if (area.size() != 4) return false;
  for (double v : area)
    if (!std::isfinite(v)) return false;
  const double x = area[0], y = area[1], w = area[2], h = area[3];
  return x >= 0 && y >= 0 && w >= kSmallestAreaFraction && x + w <= kAreaEdgeTolerance &&
         h >= kSmallestAreaFraction && y + h <= kAreaEdgeTolerance;
}

// The smallest rectangle with whole-number edges holding `r`: the origin is
// rounded down and the far edges up.
platform::Rect integralRect(const platform::Rect& r) {
  const double left = std::floor(r.x), top = std::floor(r.y);
  const double right = std::ceil(r.x + r.width), bottom = std::ceil(r.y + r.height);
  return {left, top, right - left, bottom - top};
}

// Scale times a length in points, with the fraction dropped. Nothing when the
// result is not finite or does not fit 64 bits (an absurd scale).
std::optional<int64_t> scaledLength(double scale, double points) {
  const double value = std::trunc(scale * points);
  // 2^63 itself is out of range; every double below it converts exactly.
  if (!std::isfinite(value) || value >= 9223372036854775808.0 || value < -9223372036854775808.0)
    return std::nullopt;
  return static_cast<int64_t>(value);
}

// The target sized by the scale, or "invalid-scale".
std::variant<CaptureTarget, TargetError> scaled(CaptureTarget target, double scale, double width,
                                                double height) {
  const auto w = scaledLength(scale, width);
  const auto h = scaledLength(scale, height);
  if (!w || !h) return TargetError::invalidScale;
  target.width = *w;
  target.height = *h;
  return target;
}

}  // namespace

const char* targetErrorMessage(TargetError error) {
  switch (error) {
    case TargetError::displayNotFound:
      return "display-not-found";
    case TargetError::invalidArea:
      return "invalid-area";
    case TargetError::windowNotFound:
      return "window-not-found";
    case TargetError::windowExcluded:
      return "window-excluded";
    case TargetError::invalidScale:
      return "invalid-scale";
    case TargetError::excludingUnsupported:
      return "excluding-apps-unsupported";
    case TargetError::windowCaptureUnsupported:
      return "window-capture-unsupported";
  }
  return "invalid-scale";
}

std::variant<CaptureTarget, TargetError> captureTarget(const Options& options,
                                                       const platform::ShareableContent& content) {
  const std::vector<int32_t> excludePids = options.excludePids.value_or(std::vector<int32_t>{});

  std::vector<platform::RunningApplication> excluded;
  for (const auto& application : content.applications)
    if (contains(excludePids, application.processID)) excluded.push_back(application);

  const double scale = options.scale.value_or(kDefaultScale);

  if (!options.window) {
    const platform::Display* display = nullptr;
    for (const auto& candidate : content.displays) {
      if (!options.display || candidate.displayID == *options.display) {
        display = &candidate;
        break;
      }
    }
    if (!display) return TargetError::displayNotFound;
    // Where applications cannot be left out, a recording that shows them
    // anyway would be wrong: refused, whether or not the pids are known.
    if (!excludePids.empty() && !content.displaysCanExcludeApplications)
      return TargetError::excludingUnsupported;

    CaptureTarget target;
    target.filter = platform::makeDisplayFilter(*display, std::move(excluded), {});
    target.display = *display;
    if (options.area) {
      if (!areaIsValid(*options.area)) return TargetError::invalidArea;
      const auto& a = *options.area;
      const double W = static_cast<double>(display->width);
      const double H = static_cast<double>(display->height);
      const platform::Rect source = integralRect({a[0] * W, a[1] * H, a[2] * W, a[3] * H});
      target.sourceRect = source;
      return scaled(std::move(target), scale, source.width, source.height);
    }
    return scaled(std::move(target), scale, static_cast<double>(display->width),
                  static_cast<double>(display->height));
  }

  if (!content.windowsCanBeCaptured) return TargetError::windowCaptureUnsupported;
  const platform::Window* window = nullptr;
  for (const auto& candidate : content.windows) {
    if (candidate.windowID == *options.window) {
      window = &candidate;
      break;
    }
  }
  if (!window) return TargetError::windowNotFound;
  if (window->owningApplication && contains(excludePids, window->owningApplication->processID))
    return TargetError::windowExcluded;

  CaptureTarget target;
  target.filter = platform::makeWindowFilter(*window);
  return scaled(std::move(target), scale, window->frame.width, window->frame.height);
}

}  // namespace capture
