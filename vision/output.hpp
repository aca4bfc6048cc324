#pragma once
// The tool's two ways out: results on an output descriptor (standard output
// in the tool), a fatal message on standard error.
#include <cstddef>
#include <string>

namespace vision {

// Writes every byte to `fd` (one write call unless the pipe takes less at a
// time).
void writeOutput(int fd, const void* data, size_t size);

// The message on one line: every run of white space that holds a line break
// (LF, CR, VT, FF) becomes one space, or nothing at either end. Other text,
// other white space included, is kept as it is.
std::string oneLine(const std::string& message);

// Writes oneLine(message) + "\n" to standard error in one write and exits with
// status 2. The libraries' descriptions of their errors may span lines; the
// host reads one line.
[[noreturn]] void fail(const std::string& message);

}  // namespace vision
