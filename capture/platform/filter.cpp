#include "platform/filter.hpp"

namespace capture {

namespace platform {

ContentFilterRef makeDisplayFilter(const Display& display,
                                   std::vector<RunningApplication> excludingApplications,
                                   std::vector<Window> exceptingWindows) {
  auto f = std::make_shared<ContentFilter>();
  f->kind = ContentFilter::Kind::displayExcludingApplications;
  f->display = display;
  f->applications = std::move(excludingApplications);
  f->exceptingWindows = std::move(exceptingWindows);
  return f;
}

ContentFilterRef makeDisplayFilterIncluding(const Display& display,
                                            std::vector<RunningApplication> includingApplications,
                                            std::vector<Window> exceptingWindows) {
  auto f = std::make_shared<ContentFilter>();
  f->kind = ContentFilter::Kind::displayIncludingApplications;
  f->display = display;
  f->applications = std::move(includingApplications);
  f->exceptingWindows = std::move(exceptingWindows);
  return f;
}

ContentFilterRef makeWindowFilter(const Window& window) {
  auto f = std::make_shared<ContentFilter>();
  f->kind = ContentFilter::Kind::window;
  f->window = window;
  return f;
}

}  // namespace platform

}  // namespace capture
