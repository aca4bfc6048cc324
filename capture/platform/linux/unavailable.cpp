// Services not yet built on Linux answer with a clear failure.
#include "platform/content.hpp"
#include "platform/error.hpp"
#include "platform/screenshot.hpp"
#include "platform/stream.hpp"
#include "platform/writer.hpp"

namespace platform {


}  // namespace platform
