#include "platform/linux/x11/connection.hpp"

#include <cstdlib>
#include <cstring>
#include <sstream>

#include "platform/error.hpp"

namespace capture {

namespace platform::x11 {

void FreeDeleter::operator()(void* p) const { std::free(p); }

Connection::~Connection() {
  if (xcb) xcb_disconnect(xcb);
}

std::unique_ptr<Connection> connect() {
  const char* name = std::getenv("DISPLAY");
  if (!name || !*name) throw PlatformError("No X display is set (DISPLAY is empty).");
  int screenNumber = 0;
  auto connection = std::make_unique<Connection>();
  connection->xcb = xcb_connect(name, &screenNumber);
  if (xcb_connection_has_error(connection->xcb))
    throw PlatformError(std::string("Cannot connect to the X display \"") + name + "\".");
  xcb_screen_iterator_t it = xcb_setup_roots_iterator(xcb_get_setup(connection->xcb));
  for (int i = 0; it.rem && i < screenNumber; ++i) xcb_screen_next(&it);
  if (!it.rem)
    throw PlatformError(std::string("The X display \"") + name + "\" has no such screen.");
  connection->screen = it.data;
  connection->root = it.data->root;
  return connection;
}

void checkConnection(const Connection& connection) {
  if (xcb_connection_has_error(connection.xcb))
    throw PlatformError("The connection to the X display was lost.");
}

xcb_atom_t internAtom(xcb_connection_t* c, const char* name) {
  Reply<xcb_intern_atom_reply_t> reply(xcb_intern_atom_reply(
      c, xcb_intern_atom(c, 0, static_cast<uint16_t>(std::strlen(name)), name), nullptr));
  return reply ? reply->atom : xcb_atom_t{XCB_ATOM_NONE};
}

std::optional<std::vector<uint8_t>> getProperty(xcb_connection_t* c, xcb_window_t window,
                                                xcb_atom_t property, xcb_atom_t type) {
  if (property == XCB_ATOM_NONE) return std::nullopt;
  Reply<xcb_get_property_reply_t> reply(xcb_get_property_reply(
      c,
      xcb_get_property(c, 0, window, property, type ? type : xcb_atom_t{XCB_GET_PROPERTY_TYPE_ANY},
                       0, 1 << 20),
      nullptr));
  if (!reply || reply->type == XCB_ATOM_NONE || (type && reply->type != type)) return std::nullopt;
  const auto* data = static_cast<const uint8_t*>(xcb_get_property_value(reply.get()));
  const int length = xcb_get_property_value_length(reply.get());
  return std::vector<uint8_t>(data, data + (length > 0 ? length : 0));
}

std::vector<uint32_t> getCardinals(xcb_connection_t* c, xcb_window_t window, xcb_atom_t property,
                                   xcb_atom_t type) {
  std::vector<uint32_t> values;
  if (auto raw = getProperty(c, window, property, type)) {
    values.resize(raw->size() / 4);
    std::memcpy(values.data(), raw->data(), values.size() * 4);
  }
  return values;
}

double desktopScaleFromResources(const std::string& resources) {
  std::istringstream lines(resources);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.rfind("Xft.dpi:", 0) != 0) continue;
    const char* value = line.c_str() + 8;
    char* end = nullptr;
    const double dpi = std::strtod(value, &end);
    if (end != value && dpi > 0 && dpi < 10000) return dpi / 96.0;
  }
  return 1.0;
}

double desktopScale(xcb_connection_t* c, xcb_window_t root) {
  auto raw = getProperty(c, root, XCB_ATOM_RESOURCE_MANAGER, XCB_ATOM_STRING);
  if (!raw) return 1.0;
  return desktopScaleFromResources(std::string(raw->begin(), raw->end()));
}

}  // namespace platform::x11

}  // namespace capture
