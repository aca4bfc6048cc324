#pragma once
// What the screen capture thread grabs from: one source of frames of the
// content a filter names, at the configured size. The display server's
// backend provides it (x11/ today).
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "platform/filter.hpp"
#include "platform/sample_buffer.hpp"
#include "platform/stream.hpp"

namespace capture {

namespace platform::screen {

class FrameSource {
 public:
  virtual ~FrameSource() = default;
  // One frame, BGRA at the configured size, alpha 255. Throws PlatformError.
  virtual void grab(uint8_t* destination, size_t bytesPerRow) = 0;
  // One frame in memory of the source's own, handed out as it is: BGRA at
  // the configured size (the alpha byte may be anything), valid while
  // `storage` is held. Null `pixels` when the source has no such frame to
  // give (then grab() is used). Throws PlatformError.
  struct SharedPixels {
    uint8_t* pixels = nullptr;
    size_t bytesPerRow = 0;
    std::shared_ptr<void> storage;
  };
  virtual SharedPixels grabShared() { return {}; }
  // When the content of the last grab was shown, on the host clock, where the
  // source knows it; otherwise the frame is stamped with the time of the grab.
  virtual std::optional<CMTime> shownAt() { return std::nullopt; }
  // True when the content changed since the previous grab (true before the
  // first one).
  virtual bool contentChanged() = 0;
  // The rows of the last grab's frame that may differ from the grab before
  // it (in order, apart), where the source can tell; nothing otherwise.
  virtual std::optional<std::vector<RowSpan>> changedRows() { return std::nullopt; }
};

// The source a capture stream grabs the filter's content from. Throws
// PlatformError when the content cannot be captured.
std::unique_ptr<FrameSource> makeFrameSource(const ContentFilter& filter,
                                             const StreamConfiguration& configuration);

}  // namespace platform::screen

}  // namespace capture
