#include "platform/linux/process_tree.hpp"

#include <charconv>
#include <fstream>
#include <sstream>
#include <string>

namespace capture {

namespace platform::proc {

std::optional<pid_t> parseParentFromStat(std::string_view stat) {
  const size_t close = stat.rfind(')');
  if (close == std::string_view::npos) return std::nullopt;
  // After the name: " <state> <ppid> ..."
  std::string_view rest = stat.substr(close + 1);
  size_t i = 0;
  auto skipSpaces = [&] {
    while (i < rest.size() && rest[i] == ' ') ++i;
  };
  skipSpaces();
  while (i < rest.size() && rest[i] != ' ') ++i;  // state
  skipSpaces();
  long parent = 0;
  const char* begin = rest.data() + i;
  const char* end = rest.data() + rest.size();
  auto [ptr, ec] = std::from_chars(begin, end, parent);
  if (ec != std::errc() || ptr == begin || parent < 0) return std::nullopt;
  if (ptr != end && *ptr != ' ') return std::nullopt;
  return static_cast<pid_t>(parent);
}

std::optional<pid_t> parentProcess(pid_t pid) {
  if (pid <= 0) return std::nullopt;
  std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
  if (!file) return std::nullopt;
  std::ostringstream text;
  text << file.rdbuf();
  return parseParentFromStat(text.str());
}

bool isSelfOrDescendantOf(pid_t pid, const std::set<pid_t>& roots) {
  // The chain ends at pid 1 (or 0 for kernel threads); the step limit guards
  // against a cycle seen through pids reused while walking.
  for (int step = 0; pid > 0 && step < 4096; ++step) {
    if (roots.count(pid)) return true;
    const std::optional<pid_t> parent = parentProcess(pid);
    if (!parent || *parent == pid) return false;
    pid = *parent;
  }
  return false;
}

}  // namespace platform::proc

}  // namespace capture
