#pragma once

namespace capture {

// Command-line dispatch: exactly one command per process run.

inline constexpr const char* kUsage = "usage: orvik-capture record '<json>' | check";

// Starts the one command task the arguments name (or fails with the usage
// text) and parks the calling thread for good; the task ends the process.
[[noreturn]] void dispatch(int argc, char** argv);

}  // namespace capture
