// The commands on the scripted platform: the event each reports and the exit
// status it returns. (The record command, and which applications apps lists,
// are exercised through the programs.)
#include "front/commands.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

#include <unistd.h>

#include "capture/event_log.hpp"
#include "platform/fake/fake_platform.hpp"

namespace {

// The exit status of a command and the one event it reported.
std::string outcome(const std::function<int(EventSink&)>& command) {
  EventLog events;
  const int status = command(events);
  return std::to_string(status) + (events.all().size() == 1 ? events.all()[0].dump() : "?");
}

// Each outcome of a screenshot job, failures in the order the command meets
// them: the exit status and the one event reported.
TEST(Commands, ScreenshotOutcomes) {
  const auto dir = std::filesystem::temp_directory_path() / ("orvik-" + std::to_string(getpid()));
  std::filesystem::create_directories(dir / "sub");
  const std::string out = (dir / "sub" / ".." / "x.png").string();
  using Script = std::function<void(fake::State&, Options&)>;
  const auto shoot = [&](const Script& script) {
    fake::reset();
    fake::state().content.displays = {{5, 100, 60, {0, 0, 100, 60}}};
    Options o;
    o.output = out;
    script(fake::state(), o);
    return outcome([&](EventSink& events) { return runScreenshot(o, events); });
  };
  // The area applies at the default scale, maxWidth does not; the output is echoed as given.
  EXPECT_EQ(
      shoot([](auto&, Options& o) {
        o.maxWidth = 50;
        o.area = std::vector<double>{0.5, 0.5, 0.5, 0.5};
      }),
      ("0" +
       Event{{"event", "screenshot"}, {"width", 100}, {"height", 60}, {"output", out}}.dump()));
  std::ifstream png(dir / "x.png", std::ios::binary);
  char header[24] = {};
  png.read(header, sizeof header);
  EXPECT_EQ(std::string(header + 1, 3) + std::to_string(header[19]), "PNG100");  // the width
  std::filesystem::remove(dir / "x.png");

  const std::pair<Script, std::string> refused[] = {
      {[](fake::State& s, Options& o) {
         s.osNewEnough = false, s.contentError = "x", o.window = 1;
       },
       "screenshots-need-macos-14"},
      {[](fake::State& s, Options&) { s.contentError = "Gone."; }, "screenshot-failed: Gone."},
      {[](fake::State&, Options& o) { o.display = 6; }, "display-not-found"},
      {[](fake::State& s, Options&) { s.imageError = "No window."; },
       "screenshot-failed: No window."},
      {[](fake::State&, Options& o) { o.scale = 0; },
       "screenshot-failed: The image size is not supported."},
      {[&](fake::State&, Options& o) { o.output = (dir / "missing" / "x.png").string(); },
       "screenshot-write-failed"}};
  for (const auto& [script, message] : refused)
    EXPECT_EQ(shoot(script), ("2" + Event{{"event", "error"}, {"message", message}}.dump()));
  EXPECT_FALSE(std::filesystem::exists(dir / "x.png"));
  std::filesystem::remove_all(dir);
}

// apps and check report a failed query in their event and still exit 0.
TEST(Commands, AppsAndCheckExitZeroWhateverTheyReport) {
  const platform::RunningApplication editor{7, "org.example.Editor", "Editor"};
  const Event listed{{"name", "Editor"}, {"bundleId", "org.example.Editor"}, {"pid", 7}};
  const std::tuple<int (*)(EventSink&), std::optional<std::string>, Event> cases[] = {
      {runApps, std::nullopt, {{"event", "apps"}, {"apps", {listed}}}},
      {runApps, "Denied.", {{"event", "error"}, {"message", "Denied."}}},
      {runCheck, std::nullopt, {{"event", "check"}, {"permission", true}}},
      {runCheck, "Denied.", {{"event", "check"}, {"permission", false}, {"message", "Denied."}}}};
  for (const auto& [command, error, event] : cases) {
    fake::reset();
    fake::state().content.applications = {editor};
    fake::state().content.windows = {{1, {0, 0, 120, 80}, 0, true, "doc", editor}};
    fake::state().contentError = error;
    EXPECT_EQ(outcome(command), "0" + event.dump());
  }
}

}  // namespace
