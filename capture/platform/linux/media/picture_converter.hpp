#pragma once
// BGRA frames as the encoder's BT.709 limited-range 4:2:0 pictures. The
// picture is kept from one frame to the next: a frame that comes right after
// the one converted before (the next grab) and tells which rows changed has
// only those rows converted again, so a mostly still screen costs little.
#include <cstdint>
#include <memory>

#include "platform/linux/media/ffmpeg_support.hpp"
#include "platform/sample_buffer.hpp"

struct SwsContext;

namespace capture {

namespace platform {

class PictureConverter {
 public:
  // Pictures of width x height; frames of any other size are scaled.
  PictureConverter(int width, int height);
  ~PictureConverter();
  PictureConverter(const PictureConverter&) = delete;
  PictureConverter& operator=(const PictureConverter&) = delete;

  // The picture of `pixels` (BGRA). Stays this converter's until the next
  // call; a reference taken to it meanwhile (the encoder's) keeps the
  // picture as it was. Throws PlatformError.
  AVFrame& convert(const PixelBuffer& pixels);

 private:
  struct ScalerFree {
    void operator()(SwsContext* s) const;
  };
  // The scaler for `pixels`: 0 for the whole frame or its lower half, 1 for
  // its upper half converted alongside.
  SwsContext* scalerFor(const PixelBuffer& pixels, int which);

  int width_, height_;
  std::unique_ptr<SwsContext, ScalerFree> scalers_[2];
  ffmpeg::FramePtr picture_;
  bool kept_ = false;  // the picture holds the frame of grab `lastGrab_`
  uint64_t lastGrab_ = 0;
};

}  // namespace platform

}  // namespace capture
