#include "platform/linux/wayland/window_processes.hpp"

#include <cstdint>

#include <nlohmann/json.hpp>

namespace capture {

namespace platform::wayland {

namespace {

using json = nlohmann::json;

std::string text(const json& node, const char* key) {
  const auto it = node.find(key);
  return it != node.end() && it->is_string() ? it->get<std::string>() : std::string();
}

// Views are the containers with a client process; the others (outputs,
// workspaces, splits) hold them in "nodes" and "floating_nodes".
void collect(const json& node, std::vector<View>& views, int depth) {
  if (!node.is_object() || depth > 64) return;
  const auto pid = node.find("pid");
  if (pid != node.end() && pid->is_number_integer() && pid->get<int64_t>() > 0 &&
      pid->get<int64_t>() <= INT32_MAX) {
    View view{text(node, "app_id"), text(node, "name"), static_cast<pid_t>(pid->get<int64_t>())};
    const auto properties = node.find("window_properties");  // an XWayland client
    if (view.appId.empty() && properties != node.end() && properties->is_object())
      view.appId = text(*properties, "class");
    views.push_back(std::move(view));
  }
  for (const char* key : {"nodes", "floating_nodes"}) {
    const auto children = node.find(key);
    if (children != node.end() && children->is_array())
      for (const json& child : *children) collect(child, views, depth + 1);
  }
}

}  // namespace

std::vector<View> parseViews(std::string_view tree) {
  std::vector<View> views;
  collect(json::parse(tree, nullptr, false), views, 0);
  return views;
}

void assignProcesses(std::vector<Toplevel>& toplevels, std::vector<View> views) {
  // Same app id and title first; then same app id, for a title that changed
  // between the two reads.
  for (const bool sameTitle : {true, false}) {
    for (Toplevel& toplevel : toplevels) {
      for (View& view : views) {
        if (toplevel.pid == 0 && view.pid > 0 && view.appId == toplevel.appId &&
            (!sameTitle || view.title == toplevel.title)) {
          toplevel.pid = view.pid;
          view.pid = 0;  // used
        }
      }
    }
  }
}

}  // namespace platform::wayland

}  // namespace capture
