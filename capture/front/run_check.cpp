#include <exception>

#include "front/commands.hpp"
#include "front/emit.hpp"
#include "platform/content.hpp"
#include "platform/error.hpp"

void runCheck() {
  try {
    (void)platform::getShareableContent();
    emit({{"event", "check"}, {"permission", true}});
  } catch (const platform::PlatformError& error) {
    emit({{"event", "check"}, {"permission", false}, {"message", error.localizedDescription()}});
  }
  exitProcess(0);
}
