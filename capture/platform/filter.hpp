#pragma once
// What a capture stream or a single-image capture takes in: a display minus
// some applications, a display limited to some applications, or one window.
#include <memory>
#include <vector>

#include "platform/content.hpp"

namespace capture {

namespace platform {

struct ContentFilter {
  enum class Kind { displayExcludingApplications, displayIncludingApplications, window };
  Kind kind = Kind::displayExcludingApplications;
  Display display;                               // display kinds
  std::vector<RunningApplication> applications;  // excluded or included
  std::vector<Window> exceptingWindows;          // display kinds
  Window window;                                 // window kind
};

using ContentFilterRef = std::shared_ptr<const ContentFilter>;

ContentFilterRef makeDisplayFilter(const Display& display,
                                   std::vector<RunningApplication> excludingApplications,
                                   std::vector<Window> exceptingWindows);
ContentFilterRef makeDisplayFilterIncluding(const Display& display,
                                            std::vector<RunningApplication> includingApplications,
                                            std::vector<Window> exceptingWindows);
ContentFilterRef makeWindowFilter(const Window& window);

}  // namespace platform

}  // namespace capture
