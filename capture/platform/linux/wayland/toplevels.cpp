// The compositor's toplevel windows through wlroots' foreign toplevel
// management: app id, title, the output showing it, whether it has a parent;
// their processes where the compositor's IPC tells them. Read once: the
// manager is bound, the toplevels arrive with their state, then the manager
// is stopped.
#include "platform/linux/wayland/connection_globals.hpp"
#include "platform/linux/wayland/window_processes.hpp"

namespace capture {

namespace platform::wayland {

namespace {

struct HandleState {
  zwlr_foreign_toplevel_handle_v1* handle = nullptr;
  wl_output* output = nullptr;
  bool closed = false;
  Toplevel toplevel;
};

struct Gathered {
  std::vector<std::unique_ptr<HandleState>> handles;
  bool finished = false;
};

void onTitle(void* data, zwlr_foreign_toplevel_handle_v1*, const char* title) {
  static_cast<HandleState*>(data)->toplevel.title = title;
}
void onAppId(void* data, zwlr_foreign_toplevel_handle_v1*, const char* appId) {
  static_cast<HandleState*>(data)->toplevel.appId = appId;
}
void onOutputEnter(void* data, zwlr_foreign_toplevel_handle_v1*, wl_output* output) {
  static_cast<HandleState*>(data)->output = output;
}
void onOutputLeave(void* data, zwlr_foreign_toplevel_handle_v1*, wl_output* output) {
  auto* s = static_cast<HandleState*>(data);
  if (s->output == output) s->output = nullptr;
}
void onState(void*, zwlr_foreign_toplevel_handle_v1*, wl_array*) {}
void onDone(void*, zwlr_foreign_toplevel_handle_v1*) {}
void onClosed(void* data, zwlr_foreign_toplevel_handle_v1*) {
  static_cast<HandleState*>(data)->closed = true;
}
void onParent(void* data, zwlr_foreign_toplevel_handle_v1*,
              zwlr_foreign_toplevel_handle_v1* parent) {
  static_cast<HandleState*>(data)->toplevel.hasParent = parent != nullptr;
}
const zwlr_foreign_toplevel_handle_v1_listener handleListener{
    onTitle, onAppId, onOutputEnter, onOutputLeave, onState, onDone, onClosed, onParent};

void onToplevel(void* data, zwlr_foreign_toplevel_manager_v1*,
                zwlr_foreign_toplevel_handle_v1* handle) {
  auto* gathered = static_cast<Gathered*>(data);
  auto state = std::make_unique<HandleState>();
  state->handle = handle;
  zwlr_foreign_toplevel_handle_v1_add_listener(handle, &handleListener, state.get());
  gathered->handles.push_back(std::move(state));
}
void onFinished(void* data, zwlr_foreign_toplevel_manager_v1*) {
  static_cast<Gathered*>(data)->finished = true;
}
const zwlr_foreign_toplevel_manager_v1_listener managerListener{onToplevel, onFinished};

}  // namespace

std::vector<Toplevel> Connection::toplevels() {
  Globals& g = *globals_;
  if (!g.toplevelName) return {};
  auto* manager = static_cast<zwlr_foreign_toplevel_manager_v1*>(wl_registry_bind(
      g.registry, g.toplevelName, &zwlr_foreign_toplevel_manager_v1_interface, g.toplevelVersion));
  Gathered gathered;
  zwlr_foreign_toplevel_manager_v1_add_listener(manager, &managerListener, &gathered);
  // The toplevels, then each one's state up to its "done".
  bool ok = wl_display_roundtrip(display_) >= 0 && wl_display_roundtrip(display_) >= 0;
  zwlr_foreign_toplevel_manager_v1_stop(manager);
  while (ok && !gathered.finished) ok = wl_display_roundtrip(display_) >= 0;
  zwlr_foreign_toplevel_manager_v1_destroy(manager);

  std::vector<Toplevel> result;
  for (auto& s : gathered.handles) {
    if (!s->closed) {
      for (size_t i = 0; i < outputs_.size(); ++i)
        if (s->output && g.outputs[i]->output == s->output)
          s->toplevel.outputName = outputs_[i].name;
      result.push_back(std::move(s->toplevel));
    }
    zwlr_foreign_toplevel_handle_v1_destroy(s->handle);
  }
  if (!result.empty()) assignProcesses(result, compositorViews(wl_display_get_fd(display_)));
  return result;
}

}  // namespace platform::wayland

}  // namespace capture
