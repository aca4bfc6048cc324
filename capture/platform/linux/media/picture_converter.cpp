#include "platform/linux/media/picture_converter.hpp"

#include <algorithm>
#include <future>
#include <vector>

#include "platform/error.hpp"

extern "C" {
#include <libswscale/swscale.h>
}

namespace capture {

namespace platform {

namespace {

// Chroma from every pixel's colour, averaged over each 2 x 2 square (the
// exact 4:2:0 box, and the library's fast path for RGB input); rows are
// never scaled, so "area" only shapes the chroma.
constexpr int kScalerFlags = SWS_AREA | SWS_FULL_CHR_H_INP;

[[noreturn]] void refuse(int code) {
  throw PlatformError("The frame could not be converted (" + ffmpeg::errorText(code) + ").");
}

// The changed rows widened to whole slices of `align` rows (each pair of
// rows shares its chroma) inside the picture, in order, overlapping ones
// merged.
std::vector<RowSpan> slices(const std::vector<RowSpan>& rows, int32_t align, int32_t height) {
  std::vector<RowSpan> out;
  for (const RowSpan& r : rows) {
    const int32_t begin = std::max(r.begin, 0) / align * align;
    const int32_t end = std::min((std::min(r.end, height) + align - 1) / align * align, height);
    if (begin < end) out.push_back({begin, end});
  }
  std::sort(out.begin(), out.end(), [](RowSpan a, RowSpan b) { return a.begin < b.begin; });
  std::vector<RowSpan> merged;
  for (const RowSpan& r : out) {
    if (!merged.empty() && r.begin <= merged.back().end)
      merged.back().end = std::max(merged.back().end, r.end);
    else
      merged.push_back(r);
  }
  return merged;
}

// Rows this many or more are converted in two halves at once, on the
// writer's thread and one more: converting a whole 2560 x 1440 frame takes
// one core about 5 ms, a third of a frame at 60 frames/s, while the encoder's
// threads wait. Fewer rows are not worth a thread's start.
constexpr int32_t kRowsWorthSharing = 128;

// `rows` (ordered, whole slices) cut after half of their rows, rounded down
// to a multiple of `align`.
std::pair<std::vector<RowSpan>, std::vector<RowSpan>> halves(const std::vector<RowSpan>& rows,
                                                             int32_t align) {
  int32_t total = 0;
  for (const RowSpan& r : rows) total += r.end - r.begin;
  int32_t firstRows = total / 2 / align * align;
  std::pair<std::vector<RowSpan>, std::vector<RowSpan>> out;
  for (const RowSpan& r : rows) {
    const int32_t cut = std::min(r.begin + firstRows, r.end);
    if (cut > r.begin) out.first.push_back({r.begin, cut});
    if (r.end > cut) out.second.push_back({cut, r.end});
    firstRows -= cut - r.begin;
  }
  return out;
}

// A frame of the pixels' format and size, its planes allocated or borrowed
// from `pixels` (not freed with it).
ffmpeg::FramePtr makeFrame(AVPixelFormat format, int width, int height, uint8_t* pixels = nullptr,
                           size_t bytesPerRow = 0) {
  ffmpeg::FramePtr frame(av_frame_alloc());
  if (!frame) refuse(AVERROR(ENOMEM));
  frame->format = format;
  frame->width = width;
  frame->height = height;
  if (!pixels) {
    if (const int rc = av_frame_get_buffer(frame.get(), 0); rc < 0) refuse(rc);
    return frame;
  }
  frame->data[0] = pixels;
  frame->linesize[0] = static_cast<int>(bytesPerRow);
  frame->buf[0] = av_buffer_create(
      pixels, bytesPerRow * static_cast<size_t>(height), [](void*, uint8_t*) {}, nullptr,
      AV_BUFFER_FLAG_READONLY);
  if (!frame->buf[0]) refuse(AVERROR(ENOMEM));
  return frame;
}

// Converts rows [begin, end) of `source` into `picture`.
int convertRows(SwsContext* scaler, AVFrame& picture, AVFrame& source, RowSpan rows,
                int lumaShift) {
  ffmpeg::FramePtr target(av_frame_alloc());
  if (!target) return AVERROR(ENOMEM);
  if (const int rc = av_frame_ref(target.get(), &picture); rc < 0) return rc;
  target->data[0] += static_cast<ptrdiff_t>(lumaShift) * target->linesize[0];
  int rc = sws_frame_start(scaler, target.get(), &source);
  if (rc >= 0) rc = sws_send_slice(scaler, 0, static_cast<unsigned>(source.height));
  if (rc >= 0)
    rc = sws_receive_slice(scaler, static_cast<unsigned>(rows.begin),
                           static_cast<unsigned>(rows.end - rows.begin));
  sws_frame_end(scaler);
  return rc;
}

// Converts each of `rows` from `source` into `picture`; the first error.
int convertSpans(SwsContext* scaler, AVFrame& picture, AVFrame& source,
                 const std::vector<RowSpan>& rows, bool halved) {
  for (const RowSpan& r : rows)
    if (const int rc = convertRows(scaler, picture, source, r, halved ? r.begin - r.begin / 2 : 0);
        rc < 0)
      return rc;
  return 0;
}

// libswscale 6 (FFmpeg 5) writes the luma of a slice that starts at row r
// to row r / 2 of the destination; a fixed library to row r. Which one this
// library does is tried once, on a small white frame.
bool lumaSlicesAtHalfRow() {
  static const bool halved = [] {
    constexpr int kWidth = 16, kHeight = 8;
    std::vector<uint8_t> white(kWidth * kHeight * 4, 255);
    ffmpeg::FramePtr source = makeFrame(AV_PIX_FMT_BGRA, kWidth, kHeight, white.data(), kWidth * 4);
    ffmpeg::FramePtr picture = makeFrame(AV_PIX_FMT_YUV420P, kWidth, kHeight);
    std::fill_n(picture->data[0], picture->linesize[0] * kHeight, 0);
    SwsContext* scaler =
        sws_getContext(kWidth, kHeight, AV_PIX_FMT_BGRA, kWidth, kHeight, AV_PIX_FMT_YUV420P,
                       kScalerFlags, nullptr, nullptr, nullptr);
    if (!scaler) refuse(AVERROR(ENOMEM));
    convertRows(scaler, *picture, *source, {4, 6}, 0);
    sws_freeContext(scaler);
    return picture->data[0][2 * picture->linesize[0]] != 0;
  }();
  return halved;
}

}  // namespace

void PictureConverter::ScalerFree::operator()(SwsContext* s) const { sws_freeContext(s); }

PictureConverter::PictureConverter(int width, int height) : width_(width), height_(height) {}

PictureConverter::~PictureConverter() = default;

SwsContext* PictureConverter::scalerFor(const PixelBuffer& pixels, int which) {
  std::unique_ptr<SwsContext, ScalerFree>& kept = scalers_[which];
  SwsContext* before = kept.get();
  SwsContext* scaler =
      sws_getCachedContext(kept.release(), static_cast<int>(pixels.width),
                           static_cast<int>(pixels.height), AV_PIX_FMT_BGRA, width_, height_,
                           AV_PIX_FMT_YUV420P, kScalerFlags, nullptr, nullptr, nullptr);
  kept.reset(scaler);
  if (!scaler) refuse(AVERROR(ENOMEM));
  if (scaler != before) {
    // RGB in, BT.709 limited range out.
    const int* bt709 = sws_getCoefficients(SWS_CS_ITU709);
    sws_setColorspaceDetails(scaler, bt709, 1, bt709, 0, 0, 1 << 16, 1 << 16);
    if (which == 0) kept_ = false;
  }
  return scaler;
}

AVFrame& PictureConverter::convert(const PixelBuffer& pixels) {
  SwsContext* scaler = scalerFor(pixels, 0);
  const bool unscaled = pixels.width == width_ && pixels.height == height_;
  const bool follows = kept_ && pixels.grabNumber != 0 && pixels.grabNumber == lastGrab_ + 1 &&
                       pixels.changedRows && unscaled;
  const auto align = static_cast<int32_t>(sws_receive_slice_alignment(scaler));
  const std::vector<RowSpan> rows = follows && height_ % align == 0
                                        ? slices(*pixels.changedRows, align, height_)
                                        : std::vector<RowSpan>{{0, height_}};
  kept_ = false;  // until the picture is whole again

  if (!picture_) {
    picture_ = makeFrame(AV_PIX_FMT_YUV420P, width_, height_);
  } else if (const int rc = av_frame_make_writable(picture_.get()); rc < 0) {
    refuse(rc);  // (still held elsewhere, it is copied, with what it shows)
  }
  ffmpeg::FramePtr source =
      makeFrame(AV_PIX_FMT_BGRA, static_cast<int>(pixels.width), static_cast<int>(pixels.height),
                pixels.baseAddress, pixels.bytesPerRow);
  const bool halved = lumaSlicesAtHalfRow();
  int32_t rowCount = 0;
  for (const RowSpan& r : rows) rowCount += r.end - r.begin;
  if (unscaled && rowCount >= kRowsWorthSharing) {
    // Each half with a scaler of its own (one is not to be shared between
    // threads); they write disjoint rows of the picture.
    const auto [first, second] = halves(rows, align);
    SwsContext* other = scalerFor(pixels, 1);
    // (Should no thread start, the first half is converted here, after.)
    std::future<int> firstDone = std::async(
        std::launch::async | std::launch::deferred,
        [&, &first = first] { return convertSpans(other, *picture_, *source, first, halved); });
    const int rc = convertSpans(scaler, *picture_, *source, second, halved);
    if (const int firstRc = firstDone.get(); firstRc < 0) refuse(firstRc);
    if (rc < 0) refuse(rc);
  } else if (const int rc = convertSpans(scaler, *picture_, *source, rows, halved); rc < 0) {
    refuse(rc);
  }
  kept_ = true;
  lastGrab_ = pixels.grabNumber;
  return *picture_;
}

}  // namespace platform

}  // namespace capture
