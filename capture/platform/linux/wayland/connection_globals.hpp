#pragma once
// The compositor's globals a Connection binds, shared by the files that
// implement its parts (outputs, repaint, toplevels).
#include <wayland-client.h>

#include <memory>
#include <vector>

#include "platform/linux/wayland/outputs.hpp"
#include "wlr-foreign-toplevel-management-unstable-v1-client-protocol.h"
// The layer shell's generated C header names an argument "namespace".
#define namespace layer_namespace
#include "wlr-layer-shell-unstable-v1-client-protocol.h"
#undef namespace
#include "xdg-output-unstable-v1-client-protocol.h"

namespace capture {

namespace platform::wayland {

struct OutputState {
  wl_output* output = nullptr;
  zxdg_output_v1* xdg = nullptr;
  uint32_t registryName = 0;
  bool hasLogical = false;
  Output info;
};

struct Connection::Globals {
  wl_registry* registry = nullptr;
  zxdg_output_manager_v1* xdgManager = nullptr;
  std::vector<std::unique_ptr<OutputState>> outputs;
  wl_compositor* compositor = nullptr;
  wl_shm* shm = nullptr;
  zwlr_layer_shell_v1* layerShell = nullptr;
  // Bound only when the toplevels are asked for: once bound, the compositor
  // keeps sending their changes.
  uint32_t toplevelName = 0, toplevelVersion = 0;

  static void global(void* data, wl_registry* registry, uint32_t name, const char* interface,
                     uint32_t version);
  static void globalRemove(void*, wl_registry*, uint32_t) {}
  ~Globals();
};

}  // namespace platform::wayland

}  // namespace capture
