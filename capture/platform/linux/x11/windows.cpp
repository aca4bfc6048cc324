#include "platform/linux/x11/windows.hpp"

#include <algorithm>
#include <deque>

#include <xcb/res.h>

#include "platform/text.hpp"

namespace capture {

namespace platform::x11 {
namespace {

// Layers of windows that are not normal application windows, ordered as a
// desktop stacks them.
constexpr int64_t kDesktopLayer = -1000;
constexpr int64_t kUtilityLayer = 3;
constexpr int64_t kDockLayer = 20;
constexpr int64_t kPopupLayer = 101;

struct Atoms {
  xcb_atom_t clientListStacking, wmPid, gtkApplicationId, utf8String, netWmName, wmState,
      windowType, typeNormal, typeDialog, typeDesktop, typeDock;
};

Atoms internAtoms(xcb_connection_t* c) {
  return {internAtom(c, "_NET_CLIENT_LIST_STACKING"),
          internAtom(c, "_NET_WM_PID"),
          internAtom(c, "_GTK_APPLICATION_ID"),
          internAtom(c, "UTF8_STRING"),
          internAtom(c, "_NET_WM_NAME"),
          internAtom(c, "WM_STATE"),
          internAtom(c, "_NET_WM_WINDOW_TYPE"),
          internAtom(c, "_NET_WM_WINDOW_TYPE_NORMAL"),
          internAtom(c, "_NET_WM_WINDOW_TYPE_DIALOG"),
          internAtom(c, "_NET_WM_WINDOW_TYPE_DESKTOP"),
          internAtom(c, "_NET_WM_WINDOW_TYPE_DOCK")};
}

// A text property as UTF-8. STRING properties (and those read as any type,
// WM_NAME: mostly STRING) are Latin-1; text that is valid UTF-8 is kept as it
// is, since many clients put UTF-8 there anyway. UTF8_STRING properties get
// ill-formed bytes replaced.
std::optional<std::string> textProperty(xcb_connection_t* c, xcb_window_t w, xcb_atom_t property,
                                        xcb_atom_t type) {
  auto raw = getProperty(c, w, property, type);
  if (!raw) return std::nullopt;
  const std::string text(raw->begin(), raw->end());
  const std::string valid = validUtf8(text);
  const bool latin1 = type == XCB_ATOM_STRING || type == 0;
  return latin1 && valid != text ? latin1ToUtf8(text) : valid;
}

bool isIconic(xcb_connection_t* c, xcb_window_t w, const Atoms& a) {
  const auto state = getCardinals(c, w, a.wmState, 0);
  return !state.empty() && state[0] == 3;  // IconicState
}

std::optional<TopLevelWindow> describe(xcb_connection_t* c, xcb_window_t root, xcb_window_t w,
                                       const Atoms& a) {
  auto attributesCookie = xcb_get_window_attributes(c, w);
  auto geometryCookie = xcb_get_geometry(c, w);
  auto translateCookie = xcb_translate_coordinates(c, w, root, 0, 0);
  Reply<xcb_get_window_attributes_reply_t> attributes(
      xcb_get_window_attributes_reply(c, attributesCookie, nullptr));
  Reply<xcb_get_geometry_reply_t> geometry(xcb_get_geometry_reply(c, geometryCookie, nullptr));
  Reply<xcb_translate_coordinates_reply_t> position(
      xcb_translate_coordinates_reply(c, translateCookie, nullptr));
  if (!attributes || !geometry || !position) return std::nullopt;  // gone meanwhile

  TopLevelWindow window;
  window.id = w;
  window.x = position->dst_x;
  window.y = position->dst_y;
  window.width = geometry->width;
  window.height = geometry->height;
  window.viewable = attributes->map_state == XCB_MAP_STATE_VIEWABLE;

  const auto types = getCardinals(c, w, a.windowType, XCB_ATOM_ATOM);
  const xcb_atom_t type = types.empty() ? xcb_atom_t{XCB_ATOM_NONE} : types[0];
  window.desktop = type != XCB_ATOM_NONE && type == a.typeDesktop;
  if (window.desktop)
    window.layer = kDesktopLayer;
  else if (attributes->override_redirect)
    window.layer = kPopupLayer;
  else if (type == XCB_ATOM_NONE || type == a.typeNormal || type == a.typeDialog)
    window.layer = 0;
  else if (type == a.typeDock)
    window.layer = kDockLayer;
  else
    window.layer = kUtilityLayer;

  if (auto title = textProperty(c, w, a.netWmName, a.utf8String))
    window.title = *title;
  else if (auto name = textProperty(c, w, XCB_ATOM_WM_NAME, 0))
    window.title = *name;
  if (auto raw = getProperty(c, w, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING))
    window.windowClass = windowClassOf(std::string(raw->begin(), raw->end()));
  window.gtkApplicationId = textProperty(c, w, a.gtkApplicationId, a.utf8String).value_or("");
  window.pid = windowPid(c, w);
  return window;
}

std::vector<xcb_window_t> children(xcb_connection_t* c, xcb_window_t w) {
  Reply<xcb_query_tree_reply_t> tree(xcb_query_tree_reply(c, xcb_query_tree(c, w), nullptr));
  if (!tree) return {};
  const xcb_window_t* list = xcb_query_tree_children(tree.get());
  return std::vector<xcb_window_t>(list, list + xcb_query_tree_children_length(tree.get()));
}

}  // namespace

std::string windowClassOf(std::string_view wmClass) {
  const size_t split = wmClass.find('\0');
  if (split == std::string_view::npos) return std::string();
  std::string_view cls = wmClass.substr(split + 1);
  cls = cls.substr(0, cls.find('\0'));
  const std::string text(cls);
  const std::string valid = validUtf8(text);
  return valid == text ? valid : latin1ToUtf8(text);
}

std::optional<int32_t> windowPid(xcb_connection_t* c, xcb_window_t window) {
  const auto pid = getCardinals(c, window, internAtom(c, "_NET_WM_PID"), XCB_ATOM_CARDINAL);
  if (!pid.empty() && pid[0] > 0 && pid[0] <= INT32_MAX) return static_cast<int32_t>(pid[0]);

  const xcb_query_extension_reply_t* res = xcb_get_extension_data(c, &xcb_res_id);
  if (!res || !res->present) return std::nullopt;
  xcb_res_client_id_spec_t spec{window, XCB_RES_CLIENT_ID_MASK_LOCAL_CLIENT_PID};
  Reply<xcb_res_query_client_ids_reply_t> reply(
      xcb_res_query_client_ids_reply(c, xcb_res_query_client_ids(c, 1, &spec), nullptr));
  if (!reply) return std::nullopt;
  for (auto it = xcb_res_query_client_ids_ids_iterator(reply.get()); it.rem;
       xcb_res_client_id_value_next(&it)) {
    if (!(it.data->spec.mask & XCB_RES_CLIENT_ID_MASK_LOCAL_CLIENT_PID)) continue;
    if (xcb_res_client_id_value_value_length(it.data) < 1) continue;
    const uint32_t value = *xcb_res_client_id_value_value(it.data);
    if (value > 0 && value <= INT32_MAX) return static_cast<int32_t>(value);
  }
  return std::nullopt;
}

std::optional<xcb_window_t> findClientWindow(xcb_connection_t* c, xcb_window_t window) {
  std::deque<std::pair<xcb_window_t, int>> queue{{window, 0}};
  while (!queue.empty()) {
    auto [w, depth] = queue.front();
    queue.pop_front();
    if (getProperty(c, w, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING)) return w;
    if (depth < 3)
      for (xcb_window_t child : children(c, w)) queue.emplace_back(child, depth + 1);
  }
  return std::nullopt;
}

std::vector<TopLevelWindow> listTopLevelWindows(const Connection& connection) {
  xcb_connection_t* c = connection.xcb;
  const Atoms atoms = internAtoms(c);

  std::vector<xcb_window_t> bottomToTop;
  if (getProperty(c, connection.root, atoms.clientListStacking, XCB_ATOM_WINDOW)) {
    bottomToTop = getCardinals(c, connection.root, atoms.clientListStacking, XCB_ATOM_WINDOW);
  } else {
    for (xcb_window_t child : children(c, connection.root)) {
      Reply<xcb_get_window_attributes_reply_t> attributes(
          xcb_get_window_attributes_reply(c, xcb_get_window_attributes(c, child), nullptr));
      if (!attributes || attributes->_class != XCB_WINDOW_CLASS_INPUT_OUTPUT) continue;
      if (!getProperty(c, child, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING)) continue;
      if (attributes->map_state != XCB_MAP_STATE_UNMAPPED || isIconic(c, child, atoms))
        bottomToTop.push_back(child);
    }
  }

  std::vector<TopLevelWindow> windows;
  for (auto it = bottomToTop.rbegin(); it != bottomToTop.rend(); ++it)
    if (auto window = describe(c, connection.root, *it, atoms))
      windows.push_back(std::move(*window));
  return windows;
}

}  // namespace platform::x11

}  // namespace capture
