#pragma once
// Turns a job and a snapshot of the shareable content into what to capture:
// the content filter, the output size in pixels, an optional source rectangle
// of the display, and the display.
#include <cstdint>
#include <optional>

#include "front/options.hpp"
#include "platform/content.hpp"
#include "platform/filter.hpp"

struct CaptureTarget {
  platform::ContentFilterRef filter;
  int64_t width = 0;
  int64_t height = 0;
  std::optional<platform::Rect> sourceRect;
  std::optional<platform::Display> display;
};

// Returns only on success; every problem is fatal: an "error" event and exit
// status 2 ("display-not-found", "invalid-area", "window-not-found",
// "window-excluded").
CaptureTarget captureTarget(const Options& options, const platform::ShareableContent& content);
