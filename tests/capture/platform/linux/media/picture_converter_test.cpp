// Pictures converted only where frames changed, or in parts at once, equal
// the library's whole conversion.
#include <gtest/gtest.h>

#include <random>

#include "platform/linux/media/picture_converter.hpp"

extern "C" {
#include <libswscale/swscale.h>
}

namespace capture {

using namespace platform;

namespace {

struct Step {
  std::vector<RowSpan> painted;  // rows differing from the grab before (all for the first)
  bool delivered = true;         // false: dropped before conversion
  bool told = true;              // false: the frame says nothing of its changes
};

std::vector<uint8_t> planes(const AVFrame& f) {
  std::vector<uint8_t> out;
  for (int p = 0; p < 3; ++p)
    for (int y = 0; y < (p ? f.height / 2 : f.height); ++y)
      out.insert(out.end(), f.data[p] + y * f.linesize[p],
                 f.data[p] + y * f.linesize[p] + (p ? f.width / 2 : f.width));
  return out;
}

// The whole frame in one call, BT.709 limited range.
std::vector<uint8_t> wholeConversion(const PixelBuffer& p) {
  const int w = static_cast<int>(p.width), h = static_cast<int>(p.height);
  ffmpeg::FramePtr out(av_frame_alloc());
  out->format = AV_PIX_FMT_YUV420P;
  out->width = w;
  out->height = h;
  EXPECT_EQ(av_frame_get_buffer(out.get(), 0), 0);
  SwsContext* s = sws_getContext(w, h, AV_PIX_FMT_BGRA, w, h, AV_PIX_FMT_YUV420P,
                                 SWS_AREA | SWS_FULL_CHR_H_INP, nullptr, nullptr, nullptr);
  const int* bt709 = sws_getCoefficients(SWS_CS_ITU709);
  sws_setColorspaceDetails(s, bt709, 1, bt709, 0, 0, 1 << 16, 1 << 16);
  const uint8_t* in[] = {p.baseAddress};
  const int inStride[] = {static_cast<int>(p.bytesPerRow)};
  sws_scale(s, in, inStride, 0, h, out->data, out->linesize);
  sws_freeContext(s);
  return planes(*out);
}

}  // namespace

TEST(PictureConverter, ConvertsChangedRowsIntoThePreviousPictureOnlyAfterTheGrabBefore) {
  const std::vector<std::vector<Step>> cases = {
      {{{{0, 300}}}, {{{5, 6}, {299, 300}}}, {{{0, 1}, {20, 23}}}, {{}}},  // odd rows, edges, none
      {{{{0, 300}}}, {{{10, 12}}, false}, {{{30, 31}}}},       // a frame dropped in between
      {{{{0, 300}}}, {{{0, 300}}, true, false}, {{{9, 10}}}},  // a frame without its changes
      {{{{0, 300}}}, {{{3, 9}, {41, 250}}}, {{{1, 299}}}},     // many rows, in parts at once
  };
  constexpr int kWidth = 64, kHeight = 300, kStride = kWidth * 4 + 32;
  for (size_t c = 0; c < cases.size(); ++c) {
    std::mt19937 random(static_cast<unsigned>(c));
    std::vector<uint8_t> screen(kStride * kHeight);
    PictureConverter converter(kWidth, kHeight);
    ffmpeg::FramePtr held(av_frame_alloc());  // as the encoder might hold it
    std::vector<uint8_t> heldPlanes;
    uint64_t grab = 0;
    for (const Step& step : cases[c]) {
      for (const RowSpan& r : step.painted)
        for (size_t i = r.begin * kStride; i < static_cast<size_t>(r.end) * kStride; ++i)
          screen[i] = static_cast<uint8_t>(random());
      auto frame = std::make_shared<std::vector<uint8_t>>(screen);
      PixelBuffer pixels{kWidth,        kHeight, kStride, kPixelFormatBGRA,
                         frame->data(), frame,   ++grab,  std::nullopt};
      if (step.told) pixels.changedRows = step.painted;
      if (!step.delivered) continue;
      AVFrame& picture = converter.convert(pixels);
      EXPECT_EQ(planes(picture), wholeConversion(pixels)) << c << " " << grab;
      EXPECT_EQ(planes(*held), heldPlanes) << c << " " << grab;
      av_frame_unref(held.get());
      ASSERT_EQ(av_frame_ref(held.get(), &picture), 0);
      heldPlanes = planes(picture);
    }
  }
}

}  // namespace capture
