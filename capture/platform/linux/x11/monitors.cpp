#include "platform/linux/x11/monitors.hpp"

#include <xcb/randr.h>

namespace capture {

namespace platform::x11 {

std::vector<Monitor> listMonitors(const Connection& connection) {
  std::vector<Monitor> monitors;
  xcb_connection_t* c = connection.xcb;
  const xcb_query_extension_reply_t* randr = xcb_get_extension_data(c, &xcb_randr_id);
  if (randr && randr->present) {
    Reply<xcb_randr_get_monitors_reply_t> reply(
        xcb_randr_get_monitors_reply(c, xcb_randr_get_monitors(c, connection.root, 1), nullptr));
    if (reply) {
      for (auto it = xcb_randr_get_monitors_monitors_iterator(reply.get()); it.rem;
           xcb_randr_monitor_info_next(&it)) {
        const xcb_randr_monitor_info_t* info = it.data;
        if (info->width == 0 || info->height == 0) continue;
        Monitor m;
        // A monitor without outputs (set up by hand) is named by its name atom.
        m.id = xcb_randr_monitor_info_outputs_length(info) > 0
                   ? xcb_randr_monitor_info_outputs(info)[0]
                   : info->name;
        m.x = info->x;
        m.y = info->y;
        m.width = info->width;
        m.height = info->height;
        if (info->primary)
          monitors.insert(monitors.begin(), m);
        else
          monitors.push_back(m);
      }
    }
  }
  if (monitors.empty()) {
    const xcb_screen_t* s = connection.screen;
    monitors.push_back(Monitor{0, 0, 0, s->width_in_pixels, s->height_in_pixels});
  }
  return monitors;
}

}  // namespace platform::x11

}  // namespace capture
