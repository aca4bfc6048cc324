#include "platform/linux/wayland/outputs.hpp"

#include <wayland-client.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/error.hpp"
#include "platform/linux/wayland/connection_globals.hpp"

namespace capture {

namespace platform::wayland {

namespace {

void onGeometry(void* data, wl_output*, int32_t x, int32_t y, int32_t, int32_t, int32_t,
                const char*, const char*, int32_t) {
  auto* s = static_cast<OutputState*>(data);
  if (!s->hasLogical) s->info.x = x, s->info.y = y;
}
void onMode(void* data, wl_output*, uint32_t flags, int32_t width, int32_t height, int32_t) {
  auto* s = static_cast<OutputState*>(data);
  if (flags & WL_OUTPUT_MODE_CURRENT) s->info.pixelWidth = width, s->info.pixelHeight = height;
}
void onDone(void*, wl_output*) {}
void onScale(void* data, wl_output*, int32_t factor) {
  static_cast<OutputState*>(data)->info.scale = std::max(factor, 1);
}
void onName(void* data, wl_output*, const char* name) {
  static_cast<OutputState*>(data)->info.name = name;
}
void onDescription(void*, wl_output*, const char*) {}
const wl_output_listener outputListener{onGeometry, onMode, onDone, onScale, onName, onDescription};

void onLogicalPosition(void* data, zxdg_output_v1*, int32_t x, int32_t y) {
  auto* s = static_cast<OutputState*>(data);
  s->hasLogical = true;
  s->info.x = x, s->info.y = y;
}
void onLogicalSize(void* data, zxdg_output_v1*, int32_t width, int32_t height) {
  auto* s = static_cast<OutputState*>(data);
  s->info.width = width, s->info.height = height;
}
void onXdgDone(void*, zxdg_output_v1*) {}
void onXdgName(void* data, zxdg_output_v1*, const char* name) {
  auto* s = static_cast<OutputState*>(data);
  if (s->info.name.empty()) s->info.name = name;
}
void onXdgDescription(void*, zxdg_output_v1*, const char*) {}
const zxdg_output_v1_listener xdgOutputListener{onLogicalPosition, onLogicalSize, onXdgDone,
                                                onXdgName, onXdgDescription};

}  // namespace

void Connection::Globals::global(void* data, wl_registry* registry, uint32_t name,
                                 const char* interface, uint32_t version) {
  auto* g = static_cast<Globals*>(data);
  if (std::strcmp(interface, wl_output_interface.name) == 0) {
    auto state = std::make_unique<OutputState>();
    state->registryName = name;
    state->output = static_cast<wl_output*>(
        wl_registry_bind(registry, name, &wl_output_interface, std::min<uint32_t>(version, 4)));
    wl_output_add_listener(state->output, &outputListener, state.get());
    g->outputs.push_back(std::move(state));
  } else if (std::strcmp(interface, zxdg_output_manager_v1_interface.name) == 0) {
    g->xdgManager = static_cast<zxdg_output_manager_v1*>(wl_registry_bind(
        registry, name, &zxdg_output_manager_v1_interface, std::min<uint32_t>(version, 3)));
  } else if (std::strcmp(interface, wl_compositor_interface.name) == 0) {
    g->compositor = static_cast<wl_compositor*>(
        wl_registry_bind(registry, name, &wl_compositor_interface, std::min<uint32_t>(version, 4)));
  } else if (std::strcmp(interface, wl_shm_interface.name) == 0) {
    g->shm = static_cast<wl_shm*>(wl_registry_bind(registry, name, &wl_shm_interface, 1));
  } else if (std::strcmp(interface, zwlr_layer_shell_v1_interface.name) == 0) {
    g->layerShell = static_cast<zwlr_layer_shell_v1*>(wl_registry_bind(
        registry, name, &zwlr_layer_shell_v1_interface, std::min<uint32_t>(version, 4)));
  } else if (std::strcmp(interface, zwlr_foreign_toplevel_manager_v1_interface.name) == 0) {
    g->toplevelName = name;
    g->toplevelVersion = std::min<uint32_t>(version, 3);
  }
}

Connection::Globals::~Globals() {
  for (auto& s : outputs) {
    if (s->xdg) zxdg_output_v1_destroy(s->xdg);
    if (wl_output_get_version(s->output) >= WL_OUTPUT_RELEASE_SINCE_VERSION)
      wl_output_release(s->output);
    else
      wl_output_destroy(s->output);
  }
  if (xdgManager) zxdg_output_manager_v1_destroy(xdgManager);
  if (layerShell) {
    if (zwlr_layer_shell_v1_get_version(layerShell) >= ZWLR_LAYER_SHELL_V1_DESTROY_SINCE_VERSION)
      zwlr_layer_shell_v1_destroy(layerShell);
    else
      wl_proxy_destroy(reinterpret_cast<wl_proxy*>(layerShell));
  }
  if (shm) wl_shm_destroy(shm);
  if (compositor) wl_compositor_destroy(compositor);
  if (registry) wl_registry_destroy(registry);
}

namespace {
const wl_registry_listener registryListener{Connection::Globals::global,
                                            Connection::Globals::globalRemove};
}  // namespace

Connection::Connection() : globals_(std::make_unique<Globals>()) {
  display_ = wl_display_connect(nullptr);
  if (!display_)
    throw PlatformError(std::string("The Wayland compositor cannot be reached: ") +
                        std::strerror(errno) + ".");
  globals_->registry = wl_display_get_registry(display_);
  wl_registry_add_listener(globals_->registry, &registryListener, globals_.get());
  // The globals, then each output's own events, then the xdg-output events.
  bool ok = wl_display_roundtrip(display_) >= 0;
  if (ok && globals_->xdgManager)
    for (auto& s : globals_->outputs) {
      s->xdg = zxdg_output_manager_v1_get_xdg_output(globals_->xdgManager, s->output);
      zxdg_output_v1_add_listener(s->xdg, &xdgOutputListener, s.get());
    }
  ok = ok && wl_display_roundtrip(display_) >= 0 && wl_display_roundtrip(display_) >= 0;
  if (!ok) {
    globals_.reset();
    wl_display_disconnect(display_);
    throw PlatformError("The Wayland compositor closed the connection.");
  }
  for (auto& s : globals_->outputs) {
    Output o = s->info;
    if (o.name.empty()) o.name = "output-" + std::to_string(s->registryName);
    if (!s->hasLogical || o.width <= 0 || o.height <= 0) {
      o.width = o.pixelWidth / o.scale;
      o.height = o.pixelHeight / o.scale;
    }
    outputs_.push_back(std::move(o));
  }
}

Connection::~Connection() {
  globals_.reset();
  wl_display_disconnect(display_);
}

bool Connection::alive() { return wl_display_roundtrip(display_) >= 0; }

}  // namespace platform::wayland

}  // namespace capture
