#pragma once
// Which process shows each toplevel window, where the compositor tells it:
// sway (and compositors speaking its IPC) answers "get_tree" with each
// view's app id, title and client process. Wayland's own protocols tell a
// client no other client's process.
#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/linux/wayland/outputs.hpp"

namespace capture {

namespace platform::wayland {

// A window in sway's layout tree: the app id (an X11 client's class under
// XWayland, as the toplevel list gives it), the title, the client process.
struct View {
  std::string appId;
  std::string title;
  pid_t pid = 0;
  bool operator==(const View&) const = default;
};

// The views of a "get_tree" reply, in the tree's order; none when the text
// is not such a tree.
std::vector<View> parseViews(std::string_view tree);

// Gives each toplevel the process of a view with the same app id and title,
// else (its title changed between the two reads) of one with the same app
// id, each view used once; toplevels no view matches keep process 0. Windows
// of one app id are not always told apart, but they get the same set of
// processes whichever way they are paired, and that set is what lists the
// applications.
void assignProcesses(std::vector<Toplevel>& toplevels, std::vector<View> views);

// The views of the compositor whose IPC socket SWAYSOCK names, asked only
// when the process serving that socket also serves the Wayland connection
// `waylandFd`, so that a socket of another session (or a Wayland proxy in
// between) lends no processes. None when it cannot be asked.
std::vector<View> compositorViews(int waylandFd);

}  // namespace platform::wayland

}  // namespace capture
