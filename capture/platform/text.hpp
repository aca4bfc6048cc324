#pragma once
// Text from outside sources made valid UTF-8, so that it can travel in an
// event.
#include <string>
#include <string_view>

namespace capture {

namespace platform {

// The text with every ill-formed UTF-8 sequence replaced by U+FFFD (one for
// each maximal ill-formed part).
std::string validUtf8(std::string_view text);

// Text in Latin-1 (ISO 8859-1), as UTF-8.
std::string latin1ToUtf8(std::string_view text);

}  // namespace platform

}  // namespace capture
