#pragma once
// The desktop's screen-cast portal (org.freedesktop.portal.ScreenCast) on the
// session bus: one screen-cast session from request to PipeWire remote.
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/linux/wayland/geometry.hpp"

struct sd_bus;
struct sd_bus_slot;
struct sd_bus_message;

namespace capture {

namespace platform::wayland {

// Source types and cursor modes, as the portal numbers them.
inline constexpr uint32_t kSourceMonitor = 1;
inline constexpr uint32_t kSourceWindow = 2;
inline constexpr uint32_t kCursorHidden = 1;
inline constexpr uint32_t kCursorEmbedded = 2;
// The interface version with restore tokens, which a recording relies on.
inline constexpr uint32_t kPortalVersionNeeded = 4;

class Portal {
 public:
  // Connects to the session bus. Throws PlatformError.
  Portal();
  ~Portal();
  Portal(const Portal&) = delete;
  Portal& operator=(const Portal&) = delete;

  // The portal's interface version and what it offers. Throw PlatformError
  // when there is no screen-cast portal; the text names what is missing.
  uint32_t version();
  uint32_t availableSourceTypes();
  uint32_t availableCursorModes();

  struct Selection {
    uint32_t sourceTypes = kSourceMonitor;
    std::optional<uint32_t> cursorMode;
    std::optional<std::string> restoreToken;
  };
  struct Started {
    std::vector<PortalStream> streams;
    std::optional<std::string> restoreToken;
  };
  // CreateSession, SelectSources (remembered across runs), Start: the user may
  // be asked here. Throws PlatformError, also when the user declines.
  Started start(const Selection& selection);
  // The PipeWire connection of the started session: a descriptor the caller
  // owns. Throws PlatformError.
  int openPipeWireRemote();
  // Reads what the bus has sent without waiting: false once the session was
  // closed, the portal has left the bus or the bus has gone.
  bool alive();

 private:
  uint32_t property(const char* name);
  sd_bus_message* request(const char* method, std::chrono::seconds timeout,
                          const std::string& sessionArgument, bool withParentWindow,
                          const Selection* selection);
  friend struct PortalSignals;

  sd_bus* bus_ = nullptr;
  std::string sender_;  // our unique name as request paths spell it
  std::string session_;
  sd_bus_slot* closedSlot_ = nullptr;
  sd_bus_slot* ownerSlot_ = nullptr;
  bool closed_ = false;
  unsigned requests_ = 0;
};

}  // namespace platform::wayland

}  // namespace capture
