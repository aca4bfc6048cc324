#pragma once
// The display servers' implementations of the services whose real
// implementation depends on the session: chosen at run time (backends.cpp).
#include <memory>

#include "platform/content.hpp"
#include "platform/filter.hpp"
#include "platform/linux/stream/frame_source.hpp"
#include "platform/screenshot.hpp"
#include "platform/stream.hpp"

namespace capture {

namespace platform::x11 {
ShareableContent shareableContent(bool excludingDesktopWindows, bool onScreenWindowsOnly);
Image captureImage(const ContentFilter& filter, const StreamConfiguration& configuration);
std::unique_ptr<screen::FrameSource> makeFrameSource(const ContentFilter& filter,
                                                     const StreamConfiguration& configuration);
}  // namespace platform::x11

namespace platform::wayland {
ShareableContent shareableContent(bool excludingDesktopWindows, bool onScreenWindowsOnly);
Image captureImage(const ContentFilter& filter, const StreamConfiguration& configuration);
std::unique_ptr<screen::FrameSource> makeFrameSource(const ContentFilter& filter,
                                                     const StreamConfiguration& configuration);
}  // namespace platform::wayland

}  // namespace capture
