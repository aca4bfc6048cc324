// The pure parts of the X11 grab path and content query: pointer blending,
// opaque copies, window classes and desktop entry names. (The desktop scale read from
// Xft.dpi is checked by the program's screenshot scenarios.)
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <vector>

#include <unistd.h>

#include "platform/linux/x11/cursor_blend.hpp"
#include "platform/linux/x11/desktop_entry.hpp"
#include "platform/linux/x11/windows.hpp"

namespace capture {

namespace {

using namespace platform::x11;

std::vector<uint8_t> frame(int width, int height, uint32_t bgra) {
  std::vector<uint8_t> pixels(static_cast<size_t>(width) * height * 4);
  for (size_t i = 0; i < pixels.size(); i += 4)
    for (int b = 0; b < 4; ++b) pixels[i + b] = static_cast<uint8_t>(bgra >> (8 * b));
  return pixels;
}

uint32_t at(const std::vector<uint8_t>& pixels, int width, int x, int y) {
  const size_t i = (static_cast<size_t>(y) * width + x) * 4;
  return pixels[i] | pixels[i + 1] << 8 | pixels[i + 2] << 16 |
         static_cast<uint32_t>(pixels[i + 3]) << 24;
}

TEST(CursorBlend, OpaqueTranslucentAndClearPixels) {
  auto pixels = frame(4, 4, 0xFF000000 | 0x204080);
  // Premultiplied: opaque white, half-transparent black, fully clear.
  const uint32_t cursor[3] = {0xFFFFFFFF, 0x80000000, 0x00000000};
  blendCursor(pixels.data(), 16, 4, 4, CursorImage{cursor, 3, 1}, 1, 2, 1, 1);
  EXPECT_EQ(at(pixels, 4, 0, 2), 0xFF204080u);
  EXPECT_EQ(at(pixels, 4, 1, 2), 0xFFFFFFFFu);
  EXPECT_EQ(at(pixels, 4, 2, 2), 0xFF102040u);  // half of each channel
  EXPECT_EQ(at(pixels, 4, 3, 2), 0xFF204080u);
  EXPECT_EQ(at(pixels, 4, 1, 1), 0xFF204080u);
}

TEST(CursorBlend, ScaledAndClippedAtEveryEdge) {
  const uint32_t white[4] = {0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF};
  auto pixels = frame(6, 6, 0xFF000000);
  blendCursor(pixels.data(), 24, 6, 6, CursorImage{white, 2, 2}, 1, 1, 2, 2);
  int lit = 0;
  for (int y = 0; y < 6; ++y)
    for (int x = 0; x < 6; ++x) lit += at(pixels, 6, x, y) == 0xFFFFFFFFu;
  EXPECT_EQ(lit, 16);
  EXPECT_EQ(at(pixels, 6, 4, 4), 0xFFFFFFFFu);
  EXPECT_EQ(at(pixels, 6, 5, 5), 0xFF000000u);
  // Partly outside: only the inside part is drawn.
  auto corner = frame(6, 6, 0xFF000000);
  blendCursor(corner.data(), 24, 6, 6, CursorImage{white, 2, 2}, -1, -1, 1, 1);
  EXPECT_EQ(at(corner, 6, 0, 0), 0xFFFFFFFFu);
  EXPECT_EQ(at(corner, 6, 1, 0), 0xFF000000u);
}

TEST(CopyOpaque, SetsAlphaAndHonoursStrides) {
  // Six pixels a row (a block of four and two single ones), rows 28 bytes
  // apart in the source and 30 in the destination, both starting unaligned.
  constexpr int kWidth = 6, kRows = 3;
  std::vector<uint8_t> source(1 + 28 * kRows);
  for (size_t i = 0; i < source.size(); ++i) source[i] = static_cast<uint8_t>(i * 7);
  std::vector<uint8_t> destination(3 + 30 * kRows, 0xEE);
  copyOpaque(destination.data() + 3, 30, source.data() + 1, 28, kWidth, kRows);
  for (int y = 0; y < kRows; ++y) {
    for (int x = 0; x < kWidth; ++x)
      for (int b = 0; b < 4; ++b) {
        const uint8_t expected = b == 3 ? 255 : source[1 + y * 28 + x * 4 + b];
        EXPECT_EQ(destination[3 + y * 30 + x * 4 + b], expected) << x << "," << y << "," << b;
      }
    for (int pad = kWidth * 4; pad < 30 && 3 + y * 30 + pad < 3 + 30 * kRows; ++pad)
      EXPECT_EQ(destination[3 + y * 30 + pad], 0xEE);  // beyond the row's pixels
  }
  EXPECT_EQ(destination[0], 0xEE);
}

TEST(DesktopEntry, WindowClassBeatsFileName) {
  const auto dir =
      std::filesystem::temp_directory_path() / ("orvik-entries-" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  std::ofstream(dir / "org.example.Editor.desktop")
      << "[Desktop Entry]\nName=Text Editor\n[Desktop Action new]\nName=New Window\n";
  std::ofstream(dir / "viewer.desktop")
      << "[Desktop Entry]\nName=Image Viewer\nStartupWMClass=Eog\n";
  std::ofstream(dir / "eog.desktop") << "[Desktop Entry]\nName=Wrong Viewer\n";
  std::ofstream(dir / "odd.desktop") << "[Desktop Entry]\nName=Odd \xff\n";
  std::ofstream(dir / "notes.txt") << "[Desktop Entry]\nName=Not An Entry\nStartupWMClass=Notes\n";
  const std::vector<std::string> dirs = {dir.string(), (dir / "absent").string()};

  EXPECT_EQ(desktopEntryName("ORG.EXAMPLE.EDITOR", "Editor", dirs), "Text Editor");
  EXPECT_EQ(desktopEntryName("Eog", "Eog", dirs), "Image Viewer");
  EXPECT_EQ(desktopEntryName("Notes", "Notes", dirs), std::nullopt);
  EXPECT_EQ(desktopEntryName("", "", dirs), std::nullopt);
  EXPECT_EQ(desktopEntryName("odd", "odd", dirs), "Odd \uFFFD");
  std::filesystem::remove_all(dir);
}

// WM_CLASS is Latin-1; a class that is already UTF-8 stays as it is.
TEST(WindowClass, Latin1DecodedUtf8Kept) {
  using namespace std::string_literals;
  const std::pair<std::string, std::string> rows[] = {{"cafe\0Caf\xe9\0"s, "Caf\u00e9"},
                                                      {"x\0Caf\xc3\xa9\0"s, "Caf\u00e9"},
                                                      {"x\0Plain"s, "Plain"},
                                                      {"no class"s, ""}};
  for (const auto& [raw, expected] : rows) EXPECT_EQ(windowClassOf(raw), expected);
}

}  // namespace

}  // namespace capture
