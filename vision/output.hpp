#pragma once
// The tool's two ways out: results on an output descriptor (standard output
// in the tool), a fatal message on standard error.
#include <cstddef>
#include <string>

namespace vision {

// Writes every byte to `fd` (one write call unless the pipe takes less at a
// time).
void writeOutput(int fd, const void* data, size_t size);

// Writes message + "\n" to standard error in one write and exits with status 2.
[[noreturn]] void fail(const std::string& message);

}  // namespace vision
