// A repaint of an output that changes nothing on it: one fully transparent
// pixel in the overlay layer, mapped and unmapped at once. The compositor
// repaints the pixel's place twice and commits the output, which is what a
// screen-cast producer waiting for damage needs to send a frame of a still
// screen.
#include <sys/mman.h>
#include <unistd.h>

#include "platform/linux/wayland/connection_globals.hpp"

namespace capture {

namespace platform::wayland {

namespace {

struct LayerState {
  bool configured = false;
  bool closed = false;
};

void onConfigure(void* data, zwlr_layer_surface_v1* surface, uint32_t serial, uint32_t, uint32_t) {
  zwlr_layer_surface_v1_ack_configure(surface, serial);
  static_cast<LayerState*>(data)->configured = true;
}
void onClosed(void* data, zwlr_layer_surface_v1*) { static_cast<LayerState*>(data)->closed = true; }
const zwlr_layer_surface_v1_listener layerListener{onConfigure, onClosed};

}  // namespace

bool Connection::repaint(const std::string& outputName) {
  Globals& g = *globals_;
  if (!g.compositor || !g.shm || !g.layerShell) return false;
  wl_output* output = nullptr;
  for (size_t i = 0; i < outputs_.size(); ++i)
    if (outputs_[i].name == outputName) output = g.outputs[i]->output;
  if (!output) return false;

  const int fd = memfd_create("orvik-repaint", MFD_CLOEXEC);
  if (fd < 0) return false;
  if (ftruncate(fd, 4) < 0) {  // zeros: a transparent ARGB pixel
    close(fd);
    return false;
  }
  wl_shm_pool* pool = wl_shm_create_pool(g.shm, fd, 4);
  close(fd);
  wl_buffer* buffer = wl_shm_pool_create_buffer(pool, 0, 1, 1, 4, WL_SHM_FORMAT_ARGB8888);
  wl_surface* surface = wl_compositor_create_surface(g.compositor);
  wl_region* nothing = wl_compositor_create_region(g.compositor);
  wl_surface_set_input_region(surface, nothing);  // input passes through
  wl_region_destroy(nothing);
  zwlr_layer_surface_v1* layer = zwlr_layer_shell_v1_get_layer_surface(
      g.layerShell, surface, output, ZWLR_LAYER_SHELL_V1_LAYER_OVERLAY, "orvik-repaint");
  LayerState state;
  zwlr_layer_surface_v1_add_listener(layer, &layerListener, &state);
  zwlr_layer_surface_v1_set_size(layer, 1, 1);
  zwlr_layer_surface_v1_set_anchor(
      layer, ZWLR_LAYER_SURFACE_V1_ANCHOR_TOP | ZWLR_LAYER_SURFACE_V1_ANCHOR_LEFT);
  wl_surface_commit(surface);  // asks for the first configure
  bool ok = wl_display_roundtrip(display_) >= 0 && state.configured && !state.closed;
  if (ok) {
    wl_surface_attach(surface, buffer, 0, 0);
    wl_surface_damage(surface, 0, 0, 1, 1);
    wl_surface_commit(surface);  // mapped
    ok = wl_display_roundtrip(display_) >= 0;
  }
  zwlr_layer_surface_v1_destroy(layer);  // unmapped
  wl_surface_destroy(surface);
  wl_buffer_destroy(buffer);
  wl_shm_pool_destroy(pool);
  return wl_display_flush(display_) >= 0 && ok;
}

}  // namespace platform::wayland

}  // namespace capture
