#include "platform/linux/wayland/screen_cast.hpp"

extern "C" {
#include <libswscale/swscale.h>
}

#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>

#include "platform/error.hpp"
#include "platform/linux/wayland/token_store.hpp"

namespace capture {

namespace platform::wayland {

namespace {

const Output* findOutput(const Connection& connection, uint32_t id) {
  for (const Output& o : connection.outputs())
    if (displayId(o.name) == id) return &o;
  return nullptr;
}

// BGRx rows to BGRA of the same size in one pass: the fourth byte set to 255.
void copyOpaque(const uint8_t* source, size_t sourceStride, uint8_t* destination,
                size_t destinationStride, int width, int height) {
  for (int y = 0; y < height; ++y) {
    const uint8_t* s = source + static_cast<size_t>(y) * sourceStride;
    uint8_t* d = destination + static_cast<size_t>(y) * destinationStride;
    int x = 0;
#ifdef __SSE2__
    const __m128i alpha = _mm_set1_epi32(static_cast<int>(0xff000000u));
    for (; x + 4 <= width; x += 4)
      _mm_storeu_si128(
          reinterpret_cast<__m128i*>(d + x * 4),
          _mm_or_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(s + x * 4)), alpha));
#endif
    for (; x < width; ++x) {
      std::memcpy(d + x * 4, s + x * 4, 3);
      d[x * 4 + 3] = 255;
    }
  }
}

}  // namespace

ScreenCast::ScreenCast(const ContentFilter& filter, const StreamConfiguration& configuration)
    : connection_(std::make_unique<Connection>()),
      portal_(std::make_unique<Portal>()),
      configuration_(configuration) {
  if (portal_->version() < kPortalVersionNeeded)
    throw PlatformError("The screen-cast portal is too old: version " +
                        std::to_string(kPortalVersionNeeded) + " or later is needed.");
  Portal::Selection selection;
  const Output* output = nullptr;
  std::string key;
  if (filter.kind == ContentFilter::Kind::window) {
    if (!(portal_->availableSourceTypes() & kSourceWindow))
      throw PlatformError("This desktop's screen-cast portal cannot capture single windows.");
    selection.sourceTypes = kSourceWindow;
    key = "window";
    pointsWidth_ = filter.window.frame.width;
  } else {
    if (!filter.applications.empty())
      throw PlatformError("This desktop cannot leave applications out of a display capture.");
    output = findOutput(*connection_, filter.display.displayID);
    if (!output) throw PlatformError("The display is no longer connected.");
    selection.sourceTypes = kSourceMonitor;
    outputName_ = output->name;
    key = "display-" + std::to_string(filter.display.displayID);
    pointsWidth_ = static_cast<double>(filter.display.width);
  }
  const uint32_t cursor = configuration.showsCursor ? kCursorEmbedded : kCursorHidden;
  if (portal_->availableCursorModes() & cursor) selection.cursorMode = cursor;
  // A cursor drawn into the frames may move without damage being reported
  // (a cursor plane), so damage counts only for frames without one.
  damageComplete_ = selection.cursorMode == kCursorHidden;

  const auto tokens = TokenStore::forUser();
  if (tokens) selection.restoreToken = tokens->load(key);
  const Portal::Started started = portal_->start(selection);

  std::optional<size_t> chosen;
  if (!output)
    chosen = started.streams.empty() ? std::nullopt : std::optional<size_t>(0);
  else
    chosen =
        matchStream(filter.display.frame, output->pixelWidth, output->pixelHeight, started.streams);
  // A token is kept only for a choice that was right; a token the portal did
  // not honour comes back replaced.
  if (tokens && started.restoreToken != selection.restoreToken)
    tokens->save(key, chosen ? started.restoreToken : std::nullopt);
  if (!chosen) {
    if (tokens) tokens->save(key, std::nullopt);
    throw PlatformError(output
                            ? "The screen shared through the portal is not the requested display."
                            : "The portal started no stream.");
  }
  // The frames the capture takes at most: one per minimum interval.
  const double interval = CMTimeGetSeconds(configuration.minimumFrameInterval);
  const auto rate =
      interval > 0 ? static_cast<uint32_t>(std::clamp(std::ceil(1 / interval), 1.0, 1000.0)) : 60u;
  stream_ = std::make_unique<PipeWireStream>(portal_->openPipeWireRemote(),
                                             started.streams[*chosen].node, rate);
  nextProbe_ = std::chrono::steady_clock::now() + std::chrono::seconds(1);
}

ScreenCast::~ScreenCast() {
  stream_.reset();  // before the session that feeds it
  sws_freeContext(scaler_);
}

void ScreenCast::checkAlive() {
  if (auto why = stream_->failure()) throw PlatformError(*why);
  const auto now = std::chrono::steady_clock::now();
  if (now < nextProbe_) return;
  nextProbe_ = now + std::chrono::seconds(1);
  if (!portal_->alive()) throw PlatformError("The screen-cast session was closed.");
  if (!connection_->alive())
    throw PlatformError("The connection to the Wayland compositor was lost.");
}

void ScreenCast::repaintIfDue() {
  const auto now = std::chrono::steady_clock::now();
  if (outputName_.empty() || now < nextRepaint_) return;
  nextRepaint_ = now + std::chrono::milliseconds(100);
  connection_->repaint(outputName_);
}

std::optional<int64_t> ScreenCast::read(uint8_t* destination, size_t bytesPerRow) {
  std::optional<int64_t> shown;
  changedRows_.reset();
  stream_->read([&](const Frame& frame, FrameDamage& damage) {
    const PixelRect r = sourceRegion(frame.width, frame.height, frame.crop, pointsWidth_,
                                     configuration_.sourceRect);
    const auto width = static_cast<int>(configuration_.width);
    const auto height = static_cast<int>(configuration_.height);
    const uint8_t* source =
        frame.pixels + static_cast<size_t>(r.y) * frame.bytesPerRow + static_cast<size_t>(r.x) * 4;
    const std::optional<std::vector<RowSpan>> rows = damage.take(r);
    if (r.width == width && r.height == height && frame.opaque) {
      copyOpaque(source, frame.bytesPerRow, destination, bytesPerRow, width, height);
      // Rows of the region are rows of the frame, while the region stays.
      if (r == lastRegion_ && damageComplete_) changedRows_ = rows;
      lastRegion_ = r;
    } else {
      lastRegion_.reset();
      scaler_ =
          sws_getCachedContext(scaler_, static_cast<int>(r.width), static_cast<int>(r.height),
                               frame.opaque ? AV_PIX_FMT_BGR0 : AV_PIX_FMT_BGRA, width, height,
                               AV_PIX_FMT_BGRA, SWS_BILINEAR, nullptr, nullptr, nullptr);
      if (!scaler_) throw PlatformError("The screen-cast frame cannot be scaled.");
      const int sourceStride = static_cast<int>(frame.bytesPerRow);
      const int destinationStride = static_cast<int>(bytesPerRow);
      sws_scale(scaler_, &source, &sourceStride, 0, static_cast<int>(r.height), &destination,
                &destinationStride);
      if (frame.opaque)  // the fourth byte of BGRx is not an alpha
        for (int y = 0; y < height; ++y)
          for (int x = 0; x < width; ++x)
            destination[static_cast<size_t>(y) * bytesPerRow + x * 4 + 3] = 255;
    }
    shown = frame.shown;
  });
  return shown;
}

}  // namespace platform::wayland

}  // namespace capture
