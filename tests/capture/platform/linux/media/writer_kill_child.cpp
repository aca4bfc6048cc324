// Writes a movie through the writer interface and then waits to be killed:
// the parent test checks that what reached the disk plays.
// Usage: writer_kill_child PATH SECONDS
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "linux/media/media_samples.hpp"
#include "platform/writer.hpp"

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  auto writer = platform::makeAssetWriter(argv[1], platform::FileType::quickTimeMovie);
  const platform::VideoSettings settings{platform::kVideoCodecTypeH264, 64, 48, 6'000'000, 30};
  auto input = platform::makeAssetWriterInput(platform::MediaType::video, settings);
  writer->setMovieFragmentInterval(CMTimeMake(1200, 600));
  writer->addInput(input);
  writer->startWriting();
  writer->startSessionAtSourceTime(media_test::hostTime(0));
  const int frames = std::stoi(argv[2]) * 30;
  for (int i = 0; i < frames; ++i)
    if (!media_test::appendWhenReady(*input,
                                     media_test::bgraFrame(64, 48, 0xFF000000u | (i * 0x010203u),
                                                           media_test::hostTime(i / 30.0))))
      return 2;
  // Let the queue drain, then report and wait for the end.
  while (!input->isReadyForMoreMediaData())
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  std::fputs("written\n", stdout);
  std::fflush(stdout);
  for (;;) pause();
}
