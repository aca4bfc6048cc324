#pragma once
// PNG destination for a captured image.
#include <string>

#include "platform/screenshot.hpp"

namespace capture {

namespace platform {

// Writes the image as an RGBA PNG at `path`. False when the file cannot be
// created or written completely; a partial file is not left behind.
bool writePng(const std::string& path, const Image& image);

}  // namespace platform

}  // namespace capture
