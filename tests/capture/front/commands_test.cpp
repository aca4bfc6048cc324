// The apps and screenshot commands on the scripted platform. Each command
// ends its process, so every case runs it in a child process and reads the
// event lines it wrote.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>
#include <sys/wait.h>
#include <unistd.h>

#include "front/commands.hpp"
#include "front/emit.hpp"
#include "platform/fake/fake_platform.hpp"

namespace {

using nlohmann::json;
using platform::Display;
using platform::Rect;
using platform::RunningApplication;
using platform::Window;

struct Outcome {
  int status = -1;
  std::vector<json> events;
};

Outcome runInChild(const std::function<void()>& command) {
  int fds[2];
  if (pipe(fds) != 0) return {};
  const pid_t child = fork();
  if (child == 0) {
    close(fds[0]);
    setEventDescriptor(fds[1]);
    command();
    _exit(99);  // commands never return
  }
  close(fds[1]);
  std::string text;
  char buffer[4096];
  ssize_t n;
  while ((n = read(fds[0], buffer, sizeof buffer)) > 0) text.append(buffer, static_cast<size_t>(n));
  close(fds[0]);
  int status = 0;
  waitpid(child, &status, 0);
  Outcome outcome;
  outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  size_t start = 0;
  for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
    outcome.events.push_back(json::parse(text.substr(start, end - start)));
  EXPECT_EQ(start, text.size()) << "unterminated output: " << text;
  return outcome;
}

Window window(uint32_t id, double width, double height, std::optional<RunningApplication> owner,
              int64_t layer = 0) {
  return Window{id, Rect{0, 0, width, height}, layer, true, "", std::move(owner)};
}

class Commands : public ::testing::Test {
 protected:
  void SetUp() override { fake::reset(); }
  fake::State& s() { return fake::state(); }
};

TEST_F(Commands, AppsListsOwnersOfNormalWindowsOfTheMinimumSize) {
  const RunningApplication exact{10, "org.exact", "Exact"}, narrow{11, "org.narrow", "Narrow"},
      low{12, "org.low", "Low"}, panel{13, "org.panel", "Panel"}, many{14, "org.many", "Many"},
      unnamed{15, "", "Unnamed"}, idle{16, "org.idle", "Idle"};
  s().content.applications = {many, exact, narrow, low, panel, unnamed, idle};
  s().content.windows = {window(1, 120, 80, exact),      window(2, 119, 500, narrow),
                         window(3, 500, 79, low),        window(4, 800, 600, panel, 3),
                         window(5, 300, 300, many),      window(6, 300, 300, many),
                         window(7, 300, 300, many),      window(8, 300, 300, unnamed),
                         window(9, 300, 300, std::nullopt)};
  const auto outcome = runInChild([] { runApps(); });
  EXPECT_EQ(outcome.status, 0);
  ASSERT_EQ(outcome.events.size(), 1u);
  const json expected = {{"event", "apps"},
                         {"apps",
                          {{{"name", "Many"}, {"bundleId", "org.many"}, {"pid", 14}},
                           {{"name", "Exact"}, {"bundleId", "org.exact"}, {"pid", 10}}}}};
  EXPECT_EQ(outcome.events[0], expected);
}

TEST_F(Commands, AppsNeverListsTheToolItself) {
  const auto outcome = runInChild([] {
    const RunningApplication self{static_cast<int32_t>(getpid()), "org.self", "Self"};
    fake::state().content.applications = {self};
    fake::state().content.windows = {window(1, 500, 500, self)};
    runApps();
  });
  EXPECT_EQ(outcome.status, 0);
  ASSERT_EQ(outcome.events.size(), 1u);
  EXPECT_EQ(outcome.events[0], (json{{"event", "apps"}, {"apps", json::array()}}));
}

TEST_F(Commands, AppsQueryFailureIsAnErrorEventWithStatusZero) {
  s().contentError = "No X display is set (DISPLAY is empty).";
  const auto outcome = runInChild([] { runApps(); });
  EXPECT_EQ(outcome.status, 0);
  ASSERT_EQ(outcome.events.size(), 1u);
  EXPECT_EQ(outcome.events[0],
            (json{{"event", "error"}, {"message", "No X display is set (DISPLAY is empty)."}}));
}

class Screenshot : public Commands {
 protected:
  void SetUp() override {
    Commands::SetUp();
    dir = std::filesystem::temp_directory_path() /
          ("orvik-shot-" + std::to_string(getpid()) + "-" +
           ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(dir);
    s().content.displays = {Display{5, 100, 60, {0, 0, 100, 60}}};
  }
  void TearDown() override {
    std::filesystem::current_path(std::filesystem::temp_directory_path());
    std::filesystem::remove_all(dir);
  }

  Outcome shoot(Options options) {
    return runInChild([o = std::move(options)] { runScreenshot(o); });
  }
  Options job(const std::string& output) {
    Options o;
    o.output = output;
    return o;
  }
  std::filesystem::path dir;
};

void expectOnlyError(const Outcome& outcome, const std::string& message) {
  EXPECT_EQ(outcome.status, 2);
  ASSERT_EQ(outcome.events.size(), 1u);
  EXPECT_EQ(outcome.events[0], (json{{"event", "error"}, {"message", message}}));
}

TEST_F(Screenshot, WritesThePngAndEchoesTheOutputAsGiven) {
  ASSERT_EQ(chdir(dir.c_str()), 0);
  auto o = job("./sub/../shot.png");
  std::filesystem::create_directories(dir / "sub");
  o.maxWidth = 50;  // ignored by screenshots
  o.area = std::vector<double>{0.5, 0.5, 0.5, 0.5};
  const auto outcome = shoot(o);
  EXPECT_EQ(outcome.status, 0);
  ASSERT_EQ(outcome.events.size(), 1u);
  EXPECT_EQ(outcome.events[0], (json{{"event", "screenshot"},
                                     {"width", 100},
                                     {"height", 60},
                                     {"output", "./sub/../shot.png"}}));
  // A PNG signature and its header's size.
  FILE* f = std::fopen((dir / "shot.png").c_str(), "rb");
  ASSERT_TRUE(f);
  unsigned char header[24] = {};
  EXPECT_EQ(std::fread(header, 1, sizeof header, f), sizeof header);
  std::fclose(f);
  EXPECT_EQ(header[1], 'P');
  EXPECT_EQ((header[16] << 24 | header[17] << 16 | header[18] << 8 | header[19]), 100);
  EXPECT_EQ((header[20] << 24 | header[21] << 16 | header[22] << 8 | header[23]), 60);
}

TEST_F(Screenshot, OldSystemAnswersOnlyThatWhateverTheJob) {
  s().osNewEnough = false;
  s().contentError = "never asked";
  auto o = job((dir / "x.png").string());
  o.window = 12345;
  expectOnlyError(shoot(o), "screenshots-need-macos-14");
  EXPECT_FALSE(std::filesystem::exists(dir / "x.png"));
}

TEST_F(Screenshot, FailuresInOrder) {
  const auto out = (dir / "x.png").string();
  s().contentError = "The X display went away.";
  expectOnlyError(shoot(job(out)), "screenshot-failed: The X display went away.");
  s().contentError.reset();

  auto o = job(out);
  o.display = 6;
  expectOnlyError(shoot(o), "display-not-found");

  s().imageError = "The window is no longer available.";
  expectOnlyError(shoot(job(out)), "screenshot-failed: The window is no longer available.");
  s().imageError.reset();

  o = job(out);
  o.scale = 0;  // a zero-sized image cannot be captured
  expectOnlyError(shoot(o), "screenshot-failed: The image size is not supported.");

  expectOnlyError(shoot(job((dir / "missing" / "x.png").string())), "screenshot-write-failed");
  EXPECT_FALSE(std::filesystem::exists(dir / "x.png"));
}

}  // namespace
