#pragma once
// Command-line dispatch: exactly one command per process run.
#include <memory>
#include <string>
#include <vector>

class Recorder;

inline constexpr const char* kUsage = "usage: orvik-capture record '<json>' | check";

// The process-wide values.
extern std::vector<std::string> arguments;
extern std::unique_ptr<Recorder> recorder;

// Stores the arguments, starts the one command task (or fails with the usage
// text) and parks the calling thread for good.
[[noreturn]] void dispatch(int argc, char** argv);
