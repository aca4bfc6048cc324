#include "platform/text.hpp"

#include <algorithm>

namespace capture {

namespace platform {

namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

// The length of the sequence a lead byte starts, 0 when it starts none.
size_t sequenceLength(unsigned char lead) {
  if (lead < 0x80) return 1;
  if (lead >= 0xC2 && lead <= 0xDF) return 2;
  if (lead >= 0xE0 && lead <= 0xEF) return 3;
  if (lead >= 0xF0 && lead <= 0xF4) return 4;
  return 0;
}

}  // namespace

std::string validUtf8(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    const auto lead = static_cast<unsigned char>(text[i]);
    const size_t length = sequenceLength(lead);
    size_t valid = length > 0 ? 1 : 0;
    for (; valid < length && i + valid < text.size(); ++valid) {
      const auto c = static_cast<unsigned char>(text[i + valid]);
      // The second byte's range excludes overlong forms, surrogates and
      // code points past U+10FFFF.
      unsigned char low = 0x80, high = 0xBF;
      if (valid == 1 && lead == 0xE0) low = 0xA0;
      if (valid == 1 && lead == 0xED) high = 0x9F;
      if (valid == 1 && lead == 0xF0) low = 0x90;
      if (valid == 1 && lead == 0xF4) high = 0x8F;
      if (c < low || c > high) break;
    }
    if (length > 0 && valid == length) {
      out.append(text.substr(i, length));
      i += length;
    } else {
      out.append(kReplacement);
      i += std::max<size_t>(valid, 1);
    }
  }
  return out;
}

std::string latin1ToUtf8(std::string_view text) {
  std::string out;
  out.reserve(text.size() * 2);
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x80) {
      out += c;
    } else {
      out += static_cast<char>(0xC0 | byte >> 6);
      out += static_cast<char>(0x80 | (byte & 0x3F));
    }
  }
  return out;
}

}  // namespace platform

}  // namespace capture
