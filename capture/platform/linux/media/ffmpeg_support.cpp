#include "platform/linux/media/ffmpeg_support.hpp"

#include <cstdarg>
#include <mutex>

extern "C" {
#include <libavutil/error.h>
#include <libavutil/log.h>
}

namespace capture {

namespace platform::ffmpeg {

namespace {
void discard(void*, int, const char*, va_list) {}
}  // namespace

void silenceLogging() {
  static std::once_flag once;
  std::call_once(once, [] {
    av_log_set_level(AV_LOG_QUIET);
    av_log_set_callback(discard);
  });
}

std::string errorText(int code) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  if (av_strerror(code, text, sizeof text) < 0) return "error " + std::to_string(code);
  return text;
}

}  // namespace platform::ffmpeg

}  // namespace capture
