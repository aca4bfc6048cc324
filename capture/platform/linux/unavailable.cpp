// Services not yet built on Linux answer with a clear failure.
#include "platform/content.hpp"
#include "platform/error.hpp"
#include "platform/screenshot.hpp"
#include "platform/stream.hpp"
#include "platform/writer.hpp"

namespace platform {

AssetWriterRef makeAssetWriter(const std::string&, FileType) {
  throw PlatformError("Media writing is not available on this system.");
}
AssetWriterInputRef makeAssetWriterInput(MediaType, const OutputSettings&) {
  throw PlatformError("Media writing is not available on this system.");
}

}  // namespace platform
