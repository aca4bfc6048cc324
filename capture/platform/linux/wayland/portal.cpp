#include "platform/linux/wayland/portal.hpp"

#include <fcntl.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "platform/error.hpp"

namespace capture {

namespace platform::wayland {

namespace {

constexpr const char* kDestination = "org.freedesktop.portal.Desktop";
constexpr const char* kObject = "/org/freedesktop/portal/desktop";
constexpr const char* kInterface = "org.freedesktop.portal.ScreenCast";
constexpr std::chrono::seconds kRequestTimeout{30};
// Start may show the desktop's chooser: the user takes their time.
constexpr std::chrono::seconds kStartTimeout{300};

std::string describe(int result) { return std::strerror(result < 0 ? -result : result); }

// Throws with `what` when an sd-bus call failed.
void check(int result, const char* what) {
  if (result < 0) throw PlatformError(std::string(what) + ": " + describe(result) + ".");
}

struct MessageRef {
  sd_bus_message* m = nullptr;
  ~MessageRef() { sd_bus_message_unref(m); }
};

void appendEntry(sd_bus_message* m, const char* key, char type, const void* value) {
  const char contents[2] = {type, '\0'};
  check(sd_bus_message_open_container(m, 'e', "sv"), "Building a portal request failed");
  check(sd_bus_message_append_basic(m, 's', key), "Building a portal request failed");
  check(sd_bus_message_open_container(m, 'v', contents), "Building a portal request failed");
  check(sd_bus_message_append_basic(m, type, value), "Building a portal request failed");
  check(sd_bus_message_close_container(m), "Building a portal request failed");
  check(sd_bus_message_close_container(m), "Building a portal request failed");
}

// Reads a variant holding a string or an object path.
std::optional<std::string> readStringVariant(sd_bus_message* m) {
  char type = 0;
  const char* contents = nullptr;
  if (sd_bus_message_peek_type(m, &type, &contents) <= 0 || type != 'v' || !contents ||
      (std::strcmp(contents, "s") != 0 && std::strcmp(contents, "o") != 0)) {
    sd_bus_message_skip(m, "v");
    return std::nullopt;
  }
  const char* value = nullptr;
  if (sd_bus_message_enter_container(m, 'v', contents) <= 0 ||
      sd_bus_message_read_basic(m, contents[0], &value) <= 0)
    return std::nullopt;
  sd_bus_message_exit_container(m);
  return std::string(value ? value : "");
}

// Reads a variant holding a pair of integers, "(ii)".
std::optional<std::pair<int32_t, int32_t>> readPairVariant(sd_bus_message* m) {
  int32_t a = 0, b = 0;
  if (sd_bus_message_enter_container(m, 'v', "(ii)") <= 0) {
    sd_bus_message_skip(m, "v");
    return std::nullopt;
  }
  const bool ok = sd_bus_message_read(m, "(ii)", &a, &b) > 0;
  sd_bus_message_exit_container(m);
  if (!ok) return std::nullopt;
  return std::pair{a, b};
}

// The streams of Start's results: a(ua{sv}).
std::vector<PortalStream> readStreams(sd_bus_message* m) {
  std::vector<PortalStream> streams;
  if (sd_bus_message_enter_container(m, 'v', "a(ua{sv})") <= 0) {
    sd_bus_message_skip(m, "v");
    return streams;
  }
  sd_bus_message_enter_container(m, 'a', "(ua{sv})");
  while (sd_bus_message_enter_container(m, 'r', "ua{sv}") > 0) {
    PortalStream stream;
    sd_bus_message_read_basic(m, 'u', &stream.node);
    sd_bus_message_enter_container(m, 'a', "{sv}");
    while (sd_bus_message_enter_container(m, 'e', "sv") > 0) {
      const char* key = nullptr;
      sd_bus_message_read_basic(m, 's', &key);
      if (key && std::strcmp(key, "position") == 0)
        stream.position = readPairVariant(m);
      else if (key && std::strcmp(key, "size") == 0)
        stream.size = readPairVariant(m);
      else
        sd_bus_message_skip(m, "v");
      sd_bus_message_exit_container(m);
    }
    sd_bus_message_exit_container(m);
    sd_bus_message_exit_container(m);
    streams.push_back(stream);
  }
  sd_bus_message_exit_container(m);
  sd_bus_message_exit_container(m);
  return streams;
}

}  // namespace

// What the bus says about the session and the portal once it has started.
struct PortalSignals {
  static int closed(sd_bus_message*, void* data, sd_bus_error*) {
    static_cast<Portal*>(data)->closed_ = true;
    return 0;
  }
  static int ownerChanged(sd_bus_message* message, void* data, sd_bus_error*) {
    const char *name = nullptr, *before = nullptr, *after = nullptr;
    if (sd_bus_message_read(message, "sss", &name, &before, &after) > 0 && name &&
        std::strcmp(name, kDestination) == 0 && (!after || after[0] == '\0'))
      static_cast<Portal*>(data)->closed_ = true;
    return 0;
  }
};

Portal::Portal() {
  check(sd_bus_open_user(&bus_), "The session bus cannot be reached");
  const char* unique = nullptr;
  check(sd_bus_get_unique_name(bus_, &unique), "The session bus gave no name");
  sender_ = unique[0] == ':' ? unique + 1 : unique;
  for (char& c : sender_)
    if (c == '.') c = '_';
}

Portal::~Portal() {
  if (!session_.empty() && sd_bus_is_open(bus_) > 0) {
    sd_bus_message* close = nullptr;
    if (sd_bus_message_new_method_call(bus_, &close, kDestination, session_.c_str(),
                                       "org.freedesktop.portal.Session", "Close") >= 0)
      sd_bus_send(bus_, close, nullptr);
    sd_bus_message_unref(close);
  }
  sd_bus_slot_unref(closedSlot_);
  sd_bus_slot_unref(ownerSlot_);
  sd_bus_flush_close_unref(bus_);
}

uint32_t Portal::property(const char* name) {
  sd_bus_error error = SD_BUS_ERROR_NULL;
  uint32_t value = 0;
  const int r = sd_bus_get_property_trivial(bus_, kDestination, kObject, kInterface, name, &error,
                                            'u', &value);
  if (r < 0) {
    const std::string why = error.message ? error.message : describe(r);
    sd_bus_error_free(&error);
    throw PlatformError("There is no screen-cast portal (" + std::string(kInterface) +
                        ") on the session bus: " + why);
  }
  return value;
}

uint32_t Portal::version() { return property("version"); }
uint32_t Portal::availableSourceTypes() { return property("AvailableSourceTypes"); }
uint32_t Portal::availableCursorModes() { return property("AvailableCursorModes"); }

// Sends one portal request and waits for its Response signal. Returns the
// signal, read up to its results (a{sv}), for the caller to unref.
sd_bus_message* Portal::request(const char* method, std::chrono::seconds timeout,
                                const std::string& sessionArgument, bool withParentWindow,
                                const Selection* selection) {
  const std::string token = "orvik" + std::to_string(getpid()) + "_" + std::to_string(++requests_);
  const std::string path = std::string(kObject) + "/request/" + sender_ + "/" + token;
  struct Waiting {
    sd_bus_message* response = nullptr;
  } waiting;
  sd_bus_slot* slot = nullptr;
  check(sd_bus_match_signal(
            bus_, &slot, nullptr, path.c_str(), "org.freedesktop.portal.Request", "Response",
            [](sd_bus_message* m, void* data, sd_bus_error*) {
              auto* w = static_cast<Waiting*>(data);
              if (!w->response) w->response = sd_bus_message_ref(m);
              return 0;
            },
            &waiting),
        "Waiting for the screen-cast portal failed");
  struct SlotGuard {
    sd_bus_slot* s;
    ~SlotGuard() { sd_bus_slot_unref(s); }
  } guard{slot};

  MessageRef call;
  check(sd_bus_message_new_method_call(bus_, &call.m, kDestination, kObject, kInterface, method),
        "Building a portal request failed");
  if (!sessionArgument.empty())
    check(sd_bus_message_append_basic(call.m, 'o', sessionArgument.c_str()),
          "Building a portal request failed");
  if (withParentWindow)
    check(sd_bus_message_append_basic(call.m, 's', ""), "Building a portal request failed");
  check(sd_bus_message_open_container(call.m, 'a', "{sv}"), "Building a portal request failed");
  appendEntry(call.m, "handle_token", 's', token.c_str());
  if (std::strcmp(method, "CreateSession") == 0)
    appendEntry(call.m, "session_handle_token", 's', token.c_str());
  if (selection) {
    const int multiple = 0;
    const uint32_t persistUntilRevoked = 2;
    appendEntry(call.m, "types", 'u', &selection->sourceTypes);
    appendEntry(call.m, "multiple", 'b', &multiple);
    if (selection->cursorMode) appendEntry(call.m, "cursor_mode", 'u', &*selection->cursorMode);
    appendEntry(call.m, "persist_mode", 'u', &persistUntilRevoked);
    if (selection->restoreToken)
      appendEntry(call.m, "restore_token", 's', selection->restoreToken->c_str());
  }
  check(sd_bus_message_close_container(call.m), "Building a portal request failed");

  sd_bus_error error = SD_BUS_ERROR_NULL;
  MessageRef reply;
  const int r = sd_bus_call(bus_, call.m, 0, &error, &reply.m);
  if (r < 0) {
    const std::string why = error.message ? error.message : describe(r);
    sd_bus_error_free(&error);
    throw PlatformError(std::string("The screen-cast portal refused ") + method + ": " + why);
  }

  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!waiting.response) {
    const int processed = sd_bus_process(bus_, nullptr);
    check(processed, "The session bus failed");
    if (processed > 0) continue;
    const auto left = deadline - std::chrono::steady_clock::now();
    if (left <= std::chrono::steady_clock::duration::zero())
      throw PlatformError(std::string("The screen-cast portal did not answer ") + method + ".");
    check(
        sd_bus_wait(bus_, static_cast<uint64_t>(
                              std::chrono::duration_cast<std::chrono::microseconds>(left).count())),
        "The session bus failed");
  }
  uint32_t code = 2;
  if (sd_bus_message_read_basic(waiting.response, 'u', &code) <= 0 || code != 0 ||
      sd_bus_message_enter_container(waiting.response, 'a', "{sv}") <= 0) {
    sd_bus_message_unref(waiting.response);
    throw PlatformError(code == 1 ? "The screen cast was declined."
                                  : std::string("The screen-cast portal ended ") + method + ".");
  }
  return waiting.response;
}

Portal::Started Portal::start(const Selection& selection) {
  {
    MessageRef created{request("CreateSession", kRequestTimeout, "", false, nullptr)};
    while (sd_bus_message_enter_container(created.m, 'e', "sv") > 0) {
      const char* key = nullptr;
      sd_bus_message_read_basic(created.m, 's', &key);
      if (key && std::strcmp(key, "session_handle") == 0)
        session_ = readStringVariant(created.m).value_or("");
      else
        sd_bus_message_skip(created.m, "v");
      sd_bus_message_exit_container(created.m);
    }
  }
  if (session_.empty()) throw PlatformError("The screen-cast portal gave no session.");
  check(
      sd_bus_match_signal(bus_, &closedSlot_, nullptr, session_.c_str(),
                          "org.freedesktop.portal.Session", "Closed", PortalSignals::closed, this),
      "Watching the screen-cast session failed");
  check(sd_bus_match_signal(bus_, &ownerSlot_, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                            "org.freedesktop.DBus", "NameOwnerChanged", PortalSignals::ownerChanged,
                            this),
        "Watching the screen-cast portal failed");

  MessageRef selected{request("SelectSources", kRequestTimeout, session_, false, &selection)};
  MessageRef startedReply{request("Start", kStartTimeout, session_, true, nullptr)};
  Started started;
  while (sd_bus_message_enter_container(startedReply.m, 'e', "sv") > 0) {
    const char* key = nullptr;
    sd_bus_message_read_basic(startedReply.m, 's', &key);
    if (key && std::strcmp(key, "streams") == 0)
      started.streams = readStreams(startedReply.m);
    else if (key && std::strcmp(key, "restore_token") == 0)
      started.restoreToken = readStringVariant(startedReply.m);
    else
      sd_bus_message_skip(startedReply.m, "v");
    sd_bus_message_exit_container(startedReply.m);
  }
  return started;
}

int Portal::openPipeWireRemote() {
  sd_bus_error error = SD_BUS_ERROR_NULL;
  MessageRef reply;
  const int r = sd_bus_call_method(bus_, kDestination, kObject, kInterface, "OpenPipeWireRemote",
                                   &error, &reply.m, "oa{sv}", session_.c_str(), 0);
  if (r < 0) {
    const std::string why = error.message ? error.message : describe(r);
    sd_bus_error_free(&error);
    throw PlatformError("The screen-cast portal gave no PipeWire connection: " + why);
  }
  int fd = -1;
  check(sd_bus_message_read_basic(reply.m, 'h', &fd),
        "The screen-cast portal's answer is unreadable");
  // The message owns its descriptor and closes it with the message: ours is a
  // copy. A copy left open would keep the PipeWire client and its stream alive
  // after we are done.
  const int own = fcntl(fd, F_DUPFD_CLOEXEC, 3);
  if (own < 0) throw PlatformError("The PipeWire connection cannot be kept: " + describe(errno));
  return own;
}

bool Portal::alive() {
  if (closed_) return false;
  int r = 0;
  while ((r = sd_bus_process(bus_, nullptr)) > 0) {
  }
  if (r < 0 || sd_bus_is_open(bus_) <= 0) closed_ = true;
  return !closed_;
}

}  // namespace platform::wayland

}  // namespace capture
