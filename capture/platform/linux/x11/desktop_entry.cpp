#include "platform/linux/x11/desktop_entry.hpp"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "platform/text.hpp"

namespace capture {

namespace platform::x11 {
namespace {

std::string lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return s;
}

struct Entry {
  std::string name;
  std::string wmClass;
};

// Reads the unlocalised Name and StartupWMClass of the [Desktop Entry] group.
Entry readEntry(const std::filesystem::path& path) {
  Entry entry;
  std::ifstream in(path);
  std::string line;
  bool inMainGroup = false;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty() && line.front() == '[') {
      inMainGroup = line == "[Desktop Entry]";
      continue;
    }
    if (!inMainGroup) continue;
    // Entries are UTF-8 by definition; a broken one must not break the event.
    if (line.rfind("Name=", 0) == 0) entry.name = validUtf8(line.substr(5));
    if (line.rfind("StartupWMClass=", 0) == 0) entry.wmClass = line.substr(15);
  }
  return entry;
}

std::vector<std::string> applicationDirectories() {
  std::vector<std::string> dirs;
  if (const char* home = std::getenv("HOME"))
    dirs.push_back(std::string(home) + "/.local/share/applications");
  dirs.push_back("/usr/local/share/applications");
  dirs.push_back("/usr/share/applications");
  return dirs;
}

}  // namespace

std::optional<std::string> desktopEntryName(const std::string& bundleIdentifier,
                                            const std::string& windowClass,
                                            const std::vector<std::string>& directories) {
  const std::string bundle = lower(bundleIdentifier), cls = lower(windowClass);
  std::optional<std::string> byFileName;
  for (const auto& dir : directories) {
    std::error_code ec;
    for (std::filesystem::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
      const auto& path = it->path();
      if (path.extension() != ".desktop") continue;
      const std::string stem = lower(path.stem().string());
      const bool nameMatches = stem == bundle || stem == cls;
      const Entry entry = readEntry(path);
      if (entry.name.empty()) continue;
      if (!windowClass.empty() && entry.wmClass == windowClass) return entry.name;
      if (nameMatches && !byFileName) byFileName = entry.name;
    }
  }
  return byFileName;
}

std::optional<std::string> desktopEntryName(const std::string& bundleIdentifier,
                                            const std::string& windowClass) {
  return desktopEntryName(bundleIdentifier, windowClass, applicationDirectories());
}

}  // namespace platform::x11

}  // namespace capture
