#pragma once
// The tool's two ways out: results on standard output, a fatal message on
// standard error.
#include <cstddef>
#include <string>

// Writes every byte to standard output (one write call unless the pipe takes
// less at a time).
void writeOutput(const void* data, size_t size);

// Writes message + "\n" to standard error in one write and exits with status 2.
[[noreturn]] void fail(const std::string& message);
