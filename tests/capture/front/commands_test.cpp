// The commands on the scripted platform. (The record command, and which
// applications apps lists, are exercised through the programs.)
#include "front/commands.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

#include <unistd.h>

#include "capture/event_log.hpp"
#include "platform/fake/fake_platform.hpp"

namespace capture {

namespace {

using Command = int (*)(const Options&, EventSink&);
using Script = std::function<void(fake::State&, Options&)>;

// Each command's exit status, the one event it reported, and the PNG it wrote
// (with its width): screenshot failures in the order the command meets them;
// apps and check exit 0 whatever they report.
TEST(Commands, Outcomes) {
  const auto dir = std::filesystem::temp_directory_path() / ("orvik-" + std::to_string(getpid()));
  std::filesystem::create_directories(dir / "sub");
  const std::string out = (dir / "sub" / ".." / "x.png").string();
  const platform::RunningApplication editor{7, "org.example.Editor", "Editor"};
  const Command apps = [](const Options&, EventSink& e) { return runApps(e); };
  const Command check = [](const Options&, EventSink& e) { return runCheck(e); };
  const auto error = [](int status, const std::string& message) {
    return std::to_string(status) + Event{{"event", "error"}, {"message", message}}.dump();
  };
  const Event listed{{"name", "Editor"}, {"bundleId", "org.example.Editor"}, {"pid", 7}};
  const std::tuple<Command, Script, std::string> cases[] = {
      // The area applies at the default scale, maxWidth does not; the output is echoed as given.
      {runScreenshot,
       [](auto&, Options& o) {
         o.maxWidth = 50, o.area = std::vector<double>{0.5, 0.5, 0.5, 0.5};
       },
       "0" +
           Event{{"event", "screenshot"}, {"width", 100}, {"height", 60}, {"output", out}}.dump() +
           " PNG100"},
      {runScreenshot,
       [](fake::State& s, Options& o) {
         s.osNewEnough = false, s.contentError = "x", o.window = 1;
       },
       error(2, "screenshots-need-macos-14")},
      {runScreenshot, [](fake::State& s, Options&) { s.contentError = "Gone."; },
       error(2, "screenshot-failed: Gone.")},
      {runScreenshot, [](fake::State&, Options& o) { o.display = 6; },
       error(2, "display-not-found")},
      {runScreenshot, [](fake::State& s, Options&) { s.imageError = "No window."; },
       error(2, "screenshot-failed: No window.")},
      {runScreenshot, [](fake::State&, Options& o) { o.scale = 0; },
       error(2, "screenshot-failed: The image size is not supported.")},
      {runScreenshot, [&](fake::State&, Options& o) { o.output = dir / "missing" / "x.png"; },
       error(2, "screenshot-write-failed")},
      {apps, [](auto&, auto&) {}, "0" + Event{{"event", "apps"}, {"apps", {listed}}}.dump()},
      {apps, [](fake::State& s, Options&) { s.contentError = "Denied."; }, error(0, "Denied.")},
      // Unknown processes (pid 0, Wayland): an application without a window is not listed.
      {apps,
       [&](fake::State& s, Options&) {
         s.content.applications = {{0, "foot", "foot"}, {0, "wev", "wev"}};
         s.content.windows = {{2, {0, 0, 640, 480}, 0, true, "t", s.content.applications[0]}};
       },
       "0" + Event{{"event", "apps"},
                   {"apps", {{{"name", "foot"}, {"bundleId", "foot"}, {"pid", 0}}}}}
                 .dump()},
      {check, [](auto&, auto&) {}, "0" + Event{{"event", "check"}, {"permission", true}}.dump()},
      {check, [](fake::State& s, Options&) { s.contentError = "Denied."; },
       "0" + Event{{"event", "check"}, {"permission", false}, {"message", "Denied."}}.dump()}};
  for (const auto& [command, script, expected] : cases) {
    fake::reset();
    fake::state().content.displays = {{5, 100, 60, {0, 0, 100, 60}}};
    fake::state().content.applications = {editor};
    fake::state().content.windows = {{1, {0, 0, 120, 80}, 0, true, "doc", editor}};
    Options o;
    o.output = out;
    script(fake::state(), o);
    EventLog events;
    std::string outcome = std::to_string(command(o, events));
    outcome += events.all().size() == 1 ? events.all()[0].dump() : "?";
    if (std::ifstream png{dir / "x.png", std::ios::binary}) {
      char header[24] = {};
      png.read(header, sizeof header);
      outcome += " " + std::string(header + 1, 3) + std::to_string(header[19]);
    }
    std::filesystem::remove(dir / "x.png");
    EXPECT_EQ(outcome, expected);
  }
  std::filesystem::remove_all(dir);
}

}  // namespace

}  // namespace capture
