#pragma once
// Turns a job and a snapshot of the shareable content into what to capture:
// the content filter, the output size in pixels, an optional source rectangle
// of the display, and the display.
#include <cstdint>
#include <optional>
#include <variant>

#include "job/options.hpp"
#include "platform/content.hpp"
#include "platform/filter.hpp"

namespace capture {

struct CaptureTarget {
  platform::ContentFilterRef filter;
  int64_t width = 0;
  int64_t height = 0;
  std::optional<platform::Rect> sourceRect;
  std::optional<platform::Display> display;
};

// Why a job names nothing that can be captured.
enum class TargetError {
  displayNotFound,
  invalidArea,
  windowNotFound,
  windowExcluded,
  invalidScale,
  excludingUnsupported,     // the desktop cannot leave applications out of a display
  windowCaptureUnsupported  // the desktop cannot capture single windows
};

// The error's text in the "error" event: "display-not-found", "invalid-area", …
const char* targetErrorMessage(TargetError error);

// The target, or the first problem found: a window job asks whether windows
// can be captured at all, looks for its window
// (then whether it is excluded); a display job for its display, then whether
// the applications it excludes can be left out, then tests its area; the
// scale is applied last.
std::variant<CaptureTarget, TargetError> captureTarget(const Options& options,
                                                       const platform::ShareableContent& content);

}  // namespace capture
