#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>

#include "platform/linux/wayland/frame_damage.hpp"
#include "platform/linux/wayland/frame_time.hpp"
#include "platform/linux/wayland/geometry.hpp"
#include "platform/linux/wayland/token_store.hpp"
#include "platform/linux/wayland/window_processes.hpp"

namespace capture::platform::wayland {

namespace {

// The portal's stream for a display at (1280, 0), 1280 x 720 points, 2560 x
// 1440 pixels: portals give the size in points or in pixels, the position
// sometimes not at all.
TEST(WaylandGeometry, MatchesTheStreamOfTheDisplay) {
  const Rect display{1280, 0, 1280, 720};
  const PortalStream left{41, std::pair{0, 0}, std::pair{1280, 720}};
  const PortalStream points{42, std::pair{1280, 0}, std::pair{1280, 720}};
  const PortalStream pixels{43, std::pair{1280, 0}, std::pair{2560, 1440}};
  const PortalStream unplaced{44, std::nullopt, std::pair{1280, 720}};
  const PortalStream smaller{45, std::pair{1280, 0}, std::pair{1024, 768}};
  EXPECT_EQ(matchStream(display, 2560, 1440, {left, points}), 1u);
  EXPECT_EQ(matchStream(display, 2560, 1440, {pixels}), 0u);
  EXPECT_EQ(matchStream(display, 2560, 1440, {unplaced}), 0u);
  EXPECT_EQ(matchStream(display, 2560, 1440, {left, smaller}), std::nullopt);
  EXPECT_EQ(matchStream(display, 2560, 1440, {}), std::nullopt);
}

TEST(WaylandGeometry, SourceRegion) {
  struct Case {
    std::optional<PixelRect> crop;
    std::optional<Rect> sourceRect;
    PixelRect expected;
  };
  // A 2560 x 1440 frame of content 1280 points wide (2 pixels per point).
  const Case cases[] = {
      {std::nullopt, std::nullopt, {0, 0, 2560, 1440}},
      {std::nullopt, Rect{100, 50, 640, 360}, {200, 100, 1280, 720}},
      // A window in the corner of a monitor-sized frame: the crop, 2 px per point.
      {PixelRect{10, 20, 800, 600}, std::nullopt, {10, 20, 800, 600}},
      {PixelRect{10, 20, 800, 600}, Rect{0, 0, 640, 100}, {10, 20, 800, 200}},
      // Crops reaching out of the frame are clipped; empty ones ignored.
      {PixelRect{2000, 1000, 1000, 1000}, std::nullopt, {2000, 1000, 560, 440}},
      {PixelRect{0, 0, 0, 0}, std::nullopt, {0, 0, 2560, 1440}},
      {std::nullopt, Rect{1200, 700, 200, 200}, {2400, 1400, 160, 40}}};
  for (const Case& c : cases)
    EXPECT_EQ(sourceRegion(2560, 1440, c.crop, c.crop ? 400 : 1280, c.sourceRect), c.expected);
}

// The producer's stamp when it can be the monotonic time of showing, else the arrival.
TEST(WaylandFrameTime, ShownTime) {
  const int64_t at = 50'000'000'000;
  EXPECT_EQ(shownTime(at - 2'000'000, at), at - 2'000'000);
  EXPECT_EQ(shownTime(std::nullopt, at), at);
  EXPECT_EQ(shownTime(at + 1, at), at);
  EXPECT_EQ(shownTime(at - 3'000'000'000, at), at);  // another clock
}

// Rows of the region at (10, 20), 100 x 50, changed between frames read:
// known only while every frame between them came, in sequence, with damage.
TEST(WaylandFrameDamage, RowsChangedSinceTheFrameReadBefore) {
  using Sequence = std::vector<std::optional<uint64_t>>;
  using Spans = std::vector<std::pair<int32_t, int32_t>>;
  const PixelRect region{10, 20, 100, 50}, top{0, 0, 40, 25}, right{200, 30, 5, 5};
  const std::vector<std::pair<Sequence, std::optional<Spans>>> cases = {
      {{2, 3}, Spans{{0, 5}, {0, 5}}},  // two frames since the one read; one region outside
      {{3}, std::nullopt},              // a frame that never came
      {{std::nullopt}, std::nullopt},   // a frame without a sequence number
      {{}, Spans{}},                    // the same frame read again
  };
  for (const auto& [sequence, expected] : cases) {
    FrameDamage damage;
    damage.add(1, std::vector{top});
    EXPECT_FALSE(damage.take(region));  // the first frame read
    for (const auto& n : sequence) damage.add(n, std::vector{top, right});
    std::optional<Spans> rows;
    if (const auto got = damage.take(region)) {
      rows.emplace();
      for (const RowSpan& r : *got) rows->push_back({r.begin, r.end});
    }
    EXPECT_EQ(rows, expected);
  }
}

TEST(WaylandGeometry, DisplayIdsAreStableAndDistinct) {
  EXPECT_EQ(displayId("HEADLESS-1"), displayId(std::string("HEADLESS-") + "1"));
  EXPECT_NE(displayId("DP-1"), displayId("DP-2"));
}

TEST(WaylandTokenStore, KeepsTokensOwnerOnlyAndReplacesThem) {
  const auto root =
      std::filesystem::temp_directory_path() / ("orvik-tokens-" + std::to_string(getpid()));
  std::filesystem::remove_all(root);
  setenv("XDG_STATE_HOME", root.c_str(), 1);
  const auto store = TokenStore::forUser();
  ASSERT_TRUE(store);
  EXPECT_EQ(store->load("display-1"), std::nullopt);
  ASSERT_TRUE(store->save("display-1", "first"));
  ASSERT_TRUE(store->save("display-1", "second"));  // a token the portal replaced
  EXPECT_EQ(store->load("display-1"), "second");
  struct stat dir {
  }, file{};
  ASSERT_EQ(stat((root / "orvik").c_str(), &dir), 0);
  ASSERT_EQ(stat((root / "orvik" / "display-1.token").c_str(), &file), 0);
  EXPECT_EQ(dir.st_mode & 0777, 0700u);
  EXPECT_EQ(file.st_mode & 0777, 0600u);
  EXPECT_FALSE(store->save("display-1", "bad\ntoken"));
  EXPECT_TRUE(store->save("display-1", std::nullopt));  // a wrong choice is forgotten
  EXPECT_EQ(store->load("display-1"), std::nullopt);
  std::filesystem::remove_all(root);
}

// Toplevels get the processes of sway's views with the same app id and title
// (an XWayland view's class), else the same app id, each view once;
// unmatched ones keep 0.
TEST(WaylandWindowProcesses, FromTheLayoutTree) {
  const std::string tree = R"({"type":"root","nodes":[{"type":"output","nodes":[
    {"type":"workspace","nodes":[{"type":"con","layout":"splitv","nodes":[
      {"type":"con","app_id":"foot","name":"a","pid":11},
      {"type":"con","app_id":null,"name":"img","pid":12,"window_properties":{"class":"Gimp"}}]}],
     "floating_nodes":[{"type":"floating_con","app_id":"foot","name":"a","pid":13}]}]}]})";
  const struct {
    std::string tree;
    std::vector<int32_t> pids;  // of foot "a", foot "a", Gimp "img", gone "x"
  } cases[] = {{tree, {11, 13, 12, 0}},
               {R"({"nodes":[{"app_id":"foot","name":"b","pid":14},
                   {"app_id":"foot","name":"a","pid":15}]})",
                {15, 14, 0, 0}},
               {"not json", {0, 0, 0, 0}},
               {"[]", {0, 0, 0, 0}}};
  for (const auto& c : cases) {
    std::vector<Toplevel> toplevels(4);
    const char* names[][2] = {{"foot", "a"}, {"foot", "a"}, {"Gimp", "img"}, {"gone", "x"}};
    for (size_t i = 0; i < toplevels.size(); ++i) {
      toplevels[i].appId = names[i][0];
      toplevels[i].title = names[i][1];
    }
    assignProcesses(toplevels, parseViews(c.tree));
    std::vector<int32_t> pids;
    for (const Toplevel& t : toplevels) pids.push_back(t.pid);
    EXPECT_EQ(pids, c.pids) << c.tree;
  }
}

}  // namespace

}  // namespace capture::platform::wayland
