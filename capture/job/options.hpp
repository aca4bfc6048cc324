#pragma once
// The job description of "record" and "screenshot", decoded from the JSON
// text the host passes on the command line.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace capture {

struct Options {
  std::optional<uint32_t> display;
  std::optional<uint32_t> window;
  std::string output;
  std::optional<std::string> systemAudio;
  std::optional<int64_t> fps;
  std::optional<bool> showsCursor;
  std::optional<std::vector<int32_t>> excludePids;
  std::optional<double> scale;
  std::optional<int64_t> maxWidth;
  std::optional<std::vector<double>> area;
  std::optional<std::vector<std::string>> audioApps;

  bool operator==(const Options&) const = default;
};

// Decodes a job. Nothing when the text is not one JSON object, "output" is
// missing or not a string, or any known key has a value of the wrong type or
// out of its field's range. Null counts as absent; unknown keys are ignored.
// Integer fields take plain JSON integers only: 30 decodes, 30.0 and 3e1 do not.
std::optional<Options> decodeOptions(std::string_view json);

}  // namespace capture
