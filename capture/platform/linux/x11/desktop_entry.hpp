#pragma once
// Display names of applications from their desktop entries.
#include <optional>
#include <string>
#include <vector>

namespace capture {

namespace platform::x11 {

// The `Name` of the desktop entry that belongs to an application: the entry
// whose `StartupWMClass` equals the window class, or else whose file name
// (without ".desktop", compared case-insensitively) equals the bundle
// identifier or the class. Looked up in the usual application directories.
std::optional<std::string> desktopEntryName(const std::string& bundleIdentifier,
                                            const std::string& windowClass);

// The same over the given directories (for tests).
std::optional<std::string> desktopEntryName(const std::string& bundleIdentifier,
                                            const std::string& windowClass,
                                            const std::vector<std::string>& directories);

}  // namespace platform::x11

}  // namespace capture
