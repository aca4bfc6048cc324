#include "command_line.hpp"

#include <limits>

namespace vision {

std::optional<int64_t> parseInteger(std::string_view text) {
  bool negative = false;
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  if (text.empty()) return std::nullopt;
  // Accumulate as a negative number so that the most negative value fits.
  constexpr int64_t lowest = std::numeric_limits<int64_t>::min();
  int64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    const int digit = c - '0';
    if (value < (lowest + digit) / 10) return std::nullopt;
    value = value * 10 - digit;
  }
  if (negative) return value;
  if (value == lowest) return std::nullopt;
  return -value;
}

Request readCommandLine(const std::vector<std::string>& arguments) {
  Request request;
  if (arguments.size() == 1 && arguments[0] == "check") {
    request.kind = Request::Kind::check;
    return request;
  }
  if (arguments.size() != 3) return request;
  const auto w = parseInteger(arguments[1]);
  if (!w) return request;
  const auto h = parseInteger(arguments[2]);
  if (!h) return request;
  const auto inRange = [](int64_t size) { return size >= 16 && size <= 4096; };
  if (!inRange(*w) || !inRange(*h)) return request;
  request.mode = arguments[0];
  request.width = *w;
  request.height = *h;
  const bool known = request.mode == "segment" || request.mode == "faces" || request.mode == "text";
  request.kind = known ? Request::Kind::analyse : Request::Kind::unknownMode;
  return request;
}

}  // namespace vision
