#pragma once
// A connection to the X server and the small property helpers the content
// query and the grab path share.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <xcb/xcb.h>

namespace capture {

namespace platform::x11 {

struct Connection {
  xcb_connection_t* xcb = nullptr;
  xcb_screen_t* screen = nullptr;
  xcb_window_t root = 0;
  ~Connection();
};

// Connects to the default display. Throws PlatformError saying why when no
// display can be reached.
std::unique_ptr<Connection> connect();

// Throws PlatformError when the connection has broken down.
void checkConnection(const Connection& connection);

xcb_atom_t internAtom(xcb_connection_t* c, const char* name);

// The property's raw value (8-, 16- or 32-bit items packed as the server sends
// them), or nothing when it is absent or of another type (`type` 0 = any).
std::optional<std::vector<uint8_t>> getProperty(xcb_connection_t* c, xcb_window_t window,
                                                xcb_atom_t property, xcb_atom_t type);
std::vector<uint32_t> getCardinals(xcb_connection_t* c, xcb_window_t window, xcb_atom_t property,
                                   xcb_atom_t type);

// Points to pixels: the desktop scale, Xft.dpi / 96 from the root's
// RESOURCE_MANAGER string, 1 when absent or unreadable.
double desktopScale(xcb_connection_t* c, xcb_window_t root);
// The same from the text of a resource database.
double desktopScaleFromResources(const std::string& resources);

// Frees an xcb reply when it goes out of scope.
struct FreeDeleter {
  void operator()(void* p) const;
};
template <class T>
using Reply = std::unique_ptr<T, FreeDeleter>;

}  // namespace platform::x11

}  // namespace capture
