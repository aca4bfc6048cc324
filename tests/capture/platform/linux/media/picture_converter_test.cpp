// Pictures converted only where frames changed equal whole conversions.
#include <gtest/gtest.h>

#include <random>

#include "platform/linux/media/picture_converter.hpp"

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

}  // namespace

TEST(PictureConverter, ConvertsChangedRowsIntoThePreviousPictureOnlyAfterTheGrabBefore) {
  const std::vector<std::vector<Step>> cases = {
      {{{{0, 48}}}, {{{5, 6}, {47, 48}}}, {{{0, 1}, {20, 23}}}, {{}}},  // odd rows, edges, none
      {{{{0, 48}}}, {{{10, 12}}, false}, {{{30, 31}}}},      // a frame dropped in between
      {{{{0, 48}}}, {{{0, 48}}, true, false}, {{{9, 10}}}},  // a frame without its changes
  };
  constexpr int kWidth = 64, kHeight = 48, kStride = kWidth * 4 + 32;
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
      EXPECT_EQ(planes(picture), planes(PictureConverter(kWidth, kHeight).convert(pixels)))
          << c << " " << grab;
      EXPECT_EQ(planes(*held), heldPlanes) << c << " " << grab;
      av_frame_unref(held.get());
      ASSERT_EQ(av_frame_ref(held.get(), &picture), 0);
      heldPlanes = planes(picture);
    }
  }
}

}  // namespace capture
