// Feeds arbitrary bytes to the job decoder. Beyond "no crash", it checks that
// whatever decodes is consistent with the text: "output" is a string member
// and every decoded integer field holds the value the text spelled.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include <nlohmann/json.hpp>

#include "job/options.hpp"

namespace capture {

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const auto options = decodeOptions(text);
  if (!options) return 0;
  // A job that decodes is a JSON object with a string "output".
  const auto json = nlohmann::json::parse(text);
  if (!json.is_object() || !json.at("output").is_string()) __builtin_trap();
  if (json.at("output").get<std::string>() != options->output) __builtin_trap();
  if (options->fps && json.at("fps").get<int64_t>() != *options->fps) __builtin_trap();
  if (options->display && json.at("display").get<uint64_t>() != *options->display) __builtin_trap();
  return 0;
}

}  // namespace capture
