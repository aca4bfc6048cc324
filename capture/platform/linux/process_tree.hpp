#pragma once
// The parent links of running processes, read from /proc, to tell whether a
// process was started (directly or through intermediaries) by another one.
#include <sys/types.h>

#include <optional>
#include <set>
#include <string_view>

namespace capture {

namespace platform::proc {

// The parent of `pid` as /proc/<pid>/stat gives it, or nothing when the
// process does not exist (any more) or its entry cannot be read.
std::optional<pid_t> parentProcess(pid_t pid);

// The parent pid in the text of a /proc/<pid>/stat file, or nothing when the
// text is malformed. The command name may hold spaces and parentheses, so the
// fields are counted from the last ')'.
std::optional<pid_t> parseParentFromStat(std::string_view stat);

// True when `pid` or one of its ancestors is in `roots`.
bool isSelfOrDescendantOf(pid_t pid, const std::set<pid_t>& roots);

}  // namespace platform::proc

}  // namespace capture
