#include "front/commands.hpp"
#include "platform/content.hpp"
#include "platform/error.hpp"

namespace capture {

int runCheck(EventSink& events) {
  try {
    (void)platform::getShareableContent();
    events.emit({{"event", "check"}, {"permission", true}});
  } catch (const platform::PlatformError& error) {
    events.emit(
        {{"event", "check"}, {"permission", false}, {"message", error.localizedDescription()}});
  }
  return 0;
}

}  // namespace capture
