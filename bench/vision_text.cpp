// Text mode per frame (text recognition and face detection of one frame, and
// the document) against the `tesseract` program reading the same picture from
// a PNG file, on a 1920 × 1080 screenshot of rendered interface text.
//
//   vision_text_bench [FRAMES] [SCALE]
//
// Prints wall-clock and CPU seconds per frame of both, and their ratios. The
// program is measured as it is usually run (its own threading) and with its
// OpenMP team limited to one thread; its figures include start-up and reading
// the model, which a long-running process pays once.
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <opencv2/imgcodecs.hpp>

#include "session.hpp"
#include "text.hpp"
#include "vision_rendered_text.hpp"

extern char** environ;

namespace {

using namespace vision;

struct Cost {
  double wall = 0;
  double cpu = 0;
};

double wallSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + ts.tv_nsec * 1e-9;
}

double cpuSeconds(const rusage& usage) {
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
}

// `text` on the frame, its output sent to /dev/null.
Cost timeText(const PixelBuffer& buffer, int frames) {
  Session session(Mode::text, buffer.width, buffer.height);
  session.output = ::open("/dev/null", O_WRONLY);
  text(session, buffer);  // loads the model and the face network
  rusage before{}, after{};
  getrusage(RUSAGE_SELF, &before);
  const double start = wallSeconds();
  for (int i = 0; i < frames; ++i) text(session, buffer);
  const double wall = wallSeconds() - start;
  getrusage(RUSAGE_SELF, &after);
  ::close(session.output);
  return {wall / frames, (cpuSeconds(after) - cpuSeconds(before)) / frames};
}

// The tesseract program on the PNG, its text sent to /dev/null.
Cost timeProgram(const std::string& png, int frames, bool oneThread) {
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    if (std::string(*e).rfind("OMP_", 0) != 0) env.emplace_back(*e);
  }
  if (oneThread) env.emplace_back("OMP_THREAD_LIMIT=1");
  std::vector<char*> envp;
  for (std::string& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);

  std::string program = "tesseract", in = png, out = "stdout", oem = "--oem", lstm = "1";
  std::vector<char*> argv = {program.data(), in.data(),   out.data(),
                             oem.data(),     lstm.data(), nullptr};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  Cost total;
  for (int i = 0; i < frames; ++i) {
    const double start = wallSeconds();
    pid_t pid = 0;
    if (posix_spawnp(&pid, "tesseract", &actions, nullptr, argv.data(), envp.data()) != 0) {
      std::fprintf(stderr, "cannot start the tesseract program\n");
      std::exit(2);
    }
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    total.wall += wallSeconds() - start;
    total.cpu += cpuSeconds(usage);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      std::fprintf(stderr, "the tesseract program failed\n");
      std::exit(2);
    }
  }
  posix_spawn_file_actions_destroy(&actions);
  return {total.wall / frames, total.cpu / frames};
}

}  // namespace

int main(int argc, char** argv) {
  const int frames = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
  const int scale = argc > 2 && std::atoi(argv[2]) == 2 ? 2 : 1;

  std::vector<std::string> body;
  while (body.size() < 60) {
    for (const std::string& line : sampleLines()) body.push_back(line);
  }
  RenderedPage page =
      renderPage("Weekly report - Notes", TitleBar::light, body, cv::Size(1920, 1080), scale);
  const std::string png = (std::filesystem::temp_directory_path() /
                           ("vision_text_bench_" + std::to_string(::getpid()) + ".png"))
                              .string();
  cv::imwrite(png, page.bgra);

  PixelBuffer buffer;
  buffer.width = page.bgra.cols;
  buffer.height = page.bgra.rows;
  buffer.bytesPerRow = page.bgra.step;
  buffer.baseAddress = page.bgra.data;

  const Cost ours = timeText(buffer, frames);
  const Cost program = timeProgram(png, frames, false);
  const Cost programOne = timeProgram(png, frames, true);
  std::filesystem::remove(png);

  std::printf("1920x1080 screenshot at %d00%% scale, %d frames each\n", scale, frames);
  std::printf("text mode (text + faces)      %.3f s wall  %.3f s CPU per frame\n", ours.wall,
              ours.cpu);
  std::printf("tesseract program             %.3f s wall  %.3f s CPU per picture\n", program.wall,
              program.cpu);
  std::printf("tesseract, OMP_THREAD_LIMIT=1 %.3f s wall  %.3f s CPU per picture\n",
              programOne.wall, programOne.cpu);
  std::printf("ratio text / program          %.2f wall  %.2f CPU\n", ours.wall / program.wall,
              ours.cpu / program.cpu);
  std::printf("ratio text / one-thread prog. %.2f wall  %.2f CPU\n", ours.wall / programOne.wall,
              ours.cpu / programOne.cpu);
  return 0;
}
