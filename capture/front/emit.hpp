#pragma once
// The event stream: every message of the tool is one compact JSON object on
// one line of standard output.
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

using Event = nlohmann::json;

// The event as one line (with its line feed), or nothing when it cannot be
// serialised: a string that is not valid UTF-8, a number that is not finite,
// or a value that is not an object.
std::optional<std::string> eventLine(const Event& event);

// Writes the event to standard output as one line in one write, whole even
// when several threads emit at once. An event that cannot be serialised is
// dropped without a word.
void emit(const Event& event);

// Writes {"event":"error","message":message} and ends the process with status 2.
[[noreturn]] void fail(const std::string& message);

// Ends the process at once with the given status, without running static
// destructors while other threads may still be at work.
[[noreturn]] void exitProcess(int status);

// Where `emit` writes; standard output unless a test redirects it.
void setEventDescriptor(int fd);
