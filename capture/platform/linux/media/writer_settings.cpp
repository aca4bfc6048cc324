#include "platform/linux/media/writer_settings.hpp"

#include "platform/error.hpp"

namespace capture {

namespace platform {

namespace {

void refuse(const std::string& what) {
  throw PlatformError("The media writer cannot use these settings: " + what + ".");
}

}  // namespace

void checkVideoSettings(const VideoSettings& s) {
  if (s.codec != kVideoCodecTypeH264) refuse("codec \"" + s.codec + "\" is not H.264");
  for (auto [name, value] : {std::pair{"width", s.width}, std::pair{"height", s.height}}) {
    const std::string n = name;
    if (value < 2 || value > kMaxVideoDimension)
      refuse(n + " " + std::to_string(value) + " is outside 2 to " +
             std::to_string(kMaxVideoDimension));
    if (value % 2 != 0) refuse(n + " " + std::to_string(value) + " is odd");
  }
  if (s.averageBitRate <= 0 || s.averageBitRate > kMaxVideoBitRate)
    refuse("average bit rate " + std::to_string(s.averageBitRate) + " is outside 1 to " +
           std::to_string(kMaxVideoBitRate));
  if (s.expectedSourceFrameRate <= 0 || s.expectedSourceFrameRate > kMaxVideoFrameRate)
    refuse("expected frame rate " + std::to_string(s.expectedSourceFrameRate) +
           " is outside 1 to " + std::to_string(kMaxVideoFrameRate));
}

void checkAudioSettings(const AudioSettings& s) {
  if (s.formatID != kAudioFormatMPEG4AAC) refuse("the audio format is not AAC");
  bool standardRate = false;
  for (double rate : {8000.0, 11025.0, 12000.0, 16000.0, 22050.0, 24000.0, 32000.0, 44100.0,
                      48000.0, 64000.0, 88200.0, 96000.0})
    standardRate = standardRate || s.sampleRate == rate;
  if (!standardRate) refuse("sample rate " + std::to_string(s.sampleRate) + " is not an AAC rate");
  if (s.numberOfChannels < 1 || s.numberOfChannels > 2)
    refuse("channel count " + std::to_string(s.numberOfChannels) + " is not 1 or 2");
  if (s.encoderBitRate < 32000 || s.encoderBitRate > 512000)
    refuse("bit rate " + std::to_string(s.encoderBitRate) + " is outside 32000 to 512000");
}

}  // namespace platform

}  // namespace capture
