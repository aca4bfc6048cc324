#include "target/capture_target.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <limits>
#include <string>

namespace capture {

namespace {

using platform::ContentFilter;
using platform::Rect;
using platform::RunningApplication;

const RunningApplication kEditor{101, "org.example.Editor", "Editor"};
const RunningApplication kPlayer{202, "org.example.Player", "Player"};
const RunningApplication kChat{303, "org.example.Chat", "Chat"};

platform::ShareableContent sampleContent() {
  platform::ShareableContent c;
  c.applications = {kEditor, kPlayer, kChat};
  c.displays = {{7, 1440, 900, {0, 0, 1440, 900}},
                {9, 1000, 1000, {1440, 0, 1000, 1000}},
                {11, 1001, 500, {2440, 0, 1001, 500}}};
  c.windows = {{50, {10, 20, 640.5, 480.25}, 0, true, "doc", kEditor},
               {51, {0, 0, 300, 200}, 0, true, "orphan", std::nullopt},
               {52, {5, 5, 800, 600}, 0, true, "video", kPlayer}};
  return c;
}

using Job = std::function<void(Options&)>;
const auto area = [](auto... v) { return std::vector<double>{double(v)...}; };

std::variant<CaptureTarget, TargetError> resolve(const Job& job) {
  Options o;
  job(o);
  return captureTarget(o, sampleContent());
}

// What each job resolves to: display, size (scale × points, fraction
// dropped), source rectangle (whole pixels around the area) and filter.
TEST(CaptureTarget, Resolutions) {
  struct Case {
    Job job;
    std::optional<uint32_t> display;
    int64_t width, height;
    std::optional<Rect> sourceRect;
    ContentFilter::Kind kind;
  };
  const auto displayOnly = ContentFilter::Kind::displayExcludingApplications;
  const Case cases[] = {
      {[](Options&) {}, 7, 2880, 1800, std::nullopt, displayOnly},
      {[](Options& o) { o.display = 11, o.scale = 1.5; }, 11, 1501, 750, std::nullopt, displayOnly},
      {[](Options& o) { o.area = area(0.25, 0.1, 0.5, 0.5); }, 7, 1440, 900,
       Rect{360, 90, 720, 450}, displayOnly},
      {[](Options& o) { o.display = 9, o.scale = 1, o.area = area(0.1005, 0.2, 0.3, 0.3); }, 9, 301,
       300, Rect{100, 200, 301, 300}, displayOnly},
      // Edges within the tolerance.
      {[](Options& o) { o.scale = 1, o.area = area(0.5, 0.0, 0.50005, 0.05); }, 7, 721, 45,
       Rect{720, 0, 721, 45}, displayOnly},
      {[](Options& o) { o.scale = 1, o.area = area(0, 0, 1.0001, 1.0001); }, 7, 1441, 901,
       Rect{0, 0, 1441, 901}, displayOnly},
      {[](Options& o) { o.scale = 0; }, 7, 0, 0, std::nullopt, displayOnly},
      {[](Options& o) { o.scale = -1; }, 7, -1440, -900, std::nullopt, displayOnly},
      // A window wins over display and area; one without an owner cannot be excluded.
      {[](Options& o) {
         o.window = 50, o.display = 12345, o.area = area(9, 9);
         o.excludePids = std::vector<int32_t>{202};
       },
       std::nullopt, 1281, 960, std::nullopt, ContentFilter::Kind::window},
      {[](Options& o) { o.window = 51, o.excludePids = std::vector<int32_t>{101}; }, std::nullopt,
       600, 400, std::nullopt, ContentFilter::Kind::window}};
  for (size_t i = 0; i < std::size(cases); ++i) {
    const auto& c = cases[i];
    const auto resolved = resolve(c.job);
    ASSERT_TRUE(std::holds_alternative<CaptureTarget>(resolved)) << "case " << i;
    const auto& t = std::get<CaptureTarget>(resolved);
    EXPECT_EQ(t.display ? std::optional(t.display->displayID) : std::nullopt, c.display) << i;
    EXPECT_EQ(t.width, c.width) << i;
    EXPECT_EQ(t.height, c.height) << i;
    EXPECT_EQ(t.sourceRect, c.sourceRect) << i;
    EXPECT_EQ(t.filter->kind, c.kind) << i;
    EXPECT_EQ(c.display ? t.filter->display.displayID : 0u, c.display.value_or(0)) << i;
  }
  // Excluded applications: those of the content, in its order, once each.
  const auto t = std::get<CaptureTarget>(resolve([](Options& o) {
    o.excludePids = std::vector<int32_t>{303, 999, 101, 303};
  }));
  EXPECT_EQ(t.filter->applications, (std::vector<RunningApplication>{kEditor, kChat}));
}

TEST(CaptureTarget, Errors) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  std::vector<std::pair<Job, std::string>> cases = {
      {[](Options& o) { o.display = 8; }, "display-not-found"},
      // The display is looked for before the area is tested.
      {[](Options& o) { o.display = 8, o.area = area(); }, "display-not-found"},
      {[](Options& o) { o.window = 99; }, "window-not-found"},
      {[](Options& o) { o.window = 50, o.excludePids = std::vector<int32_t>{101}; },
       "window-excluded"},
      {[](Options& o) { o.scale = 1e300; }, "invalid-scale"},
      {[](Options& o) { o.scale = -1e300; }, "invalid-scale"},
      {[](Options& o) { o.window = 50, o.scale = std::numeric_limits<double>::max(); },
       "invalid-scale"}};
  for (const auto& bad :
       {area(0.96, 0, 0.05, 0.5), area(0, 0, 0.04, 0.5), area(-0.01, 0, 0.5, 0.5),
        area(0, -0.01, 0.5, 0.5), area(0, 0, 0.5, 0.049), area(0, 0.96, 0.5, 0.05), area(0, 0, 0.5),
        area(0, 0, 0.5, 0.5, 0), area(), area(inf, 0, 0.5, 0.5), area(0, 0, 0.5, nan)})
    cases.emplace_back([bad](Options& o) { o.area = bad; }, "invalid-area");
  for (const auto& [job, message] : cases) {
    const auto resolved = resolve(job);
    const auto* error = std::get_if<TargetError>(&resolved);
    EXPECT_EQ(error ? targetErrorMessage(*error) : "resolved", message);
  }
  // Where a display cannot leave applications out, excluding any is refused,
  // even a pid that matches no application; a window job is unaffected.
  platform::ShareableContent fixed = sampleContent();
  fixed.displaysCanExcludeApplications = false;
  Options o;
  o.excludePids = std::vector<int32_t>{999};
  EXPECT_EQ(targetErrorMessage(std::get<TargetError>(captureTarget(o, fixed))),
            std::string("excluding-apps-unsupported"));
  o.window = 51;
  EXPECT_TRUE(std::holds_alternative<CaptureTarget>(captureTarget(o, fixed)));
  // Where single windows cannot be captured, any window job is refused.
  fixed.windowsCanBeCaptured = false;
  EXPECT_EQ(targetErrorMessage(std::get<TargetError>(captureTarget(o, fixed))),
            std::string("window-capture-unsupported"));
}

}  // namespace

}  // namespace capture
