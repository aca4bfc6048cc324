#pragma once
// The text-recognition service: Tesseract's LSTM engine on one frame.
#include <vector>

#include "pixel_buffer.hpp"
#include "platform/recognized_text.hpp"

// The frame's text lines in reading order, each with its best string. The
// engine is loaded on the first call and kept for the life of the process.
// Throws VisionError when the engine cannot be loaded or recognition fails.
std::vector<RecognizedLine> recognizeTextLines(const PixelBuffer& buffer);
