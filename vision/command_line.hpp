#pragma once
// Reading the tool's command line.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vision {

inline constexpr const char* usageMessage =
    "usage: orvik-vision segment|faces|text <width> <height>";

// An optional single '+' or '-' followed by one or more ASCII digits and
// nothing else; leading zeros are fine. Nothing when the text is not of that
// form or the value does not fit in a signed 64-bit integer.
std::optional<int64_t> parseInteger(std::string_view text);

// What the command line asks for.
struct Request {
  enum class Kind { check, analyse, usage, unknownMode } kind = Kind::usage;
  std::string mode;  // analyse and unknownMode: the mode word as given
  int64_t width = 0;
  int64_t height = 0;
};

// Reads the arguments after the program path. Sizes are checked (parse, then
// 16..4096) before the mode word.
Request readCommandLine(const std::vector<std::string>& arguments);

}  // namespace vision
