#pragma once
// The control channel of a recording: lines on standard input.
#include <optional>
#include <string>
#include <string_view>

namespace capture {

enum class ControlWord { pause, resume, stop, ignored };

// Reads one line from `fd` byte by byte, so that nothing after it is taken
// from the pipe. The terminator (LF, or CR LF) is removed. Nothing at end of
// input; a last line without a terminator is returned as it is.
std::optional<std::string> readControlLine(int fd);

// Removes leading and trailing tabs and Unicode space separators (spaces,
// no-break spaces, ideographic spaces and the like). Line breaks stay.
std::string_view trimHorizontalWhitespace(std::string_view line);

// The word a control line holds: exact and case-sensitive after trimming.
ControlWord controlWord(std::string_view line);

}  // namespace capture
