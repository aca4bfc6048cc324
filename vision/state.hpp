#pragma once
// Values set up once at start and kept for the life of the process.
#include <cstdint>
#include <string>
#include <vector>

extern std::string mode;           // "segment", "faces" or "text"
extern int64_t width;              // frame width in pixels, 16..4096
extern int64_t height;             // frame height in pixels, 16..4096
extern int64_t frameBytes;         // width × height × 4
extern int input;                  // file descriptor the frames are read from
extern int output;                 // file descriptor the results are written to
extern std::vector<uint8_t> frame; // the frame being read; sized once, reused
extern std::vector<uint8_t> maskBytes; // width × height bytes, the mask of a frame

// Sets every value above for one mode and frame size (input and output are the
// standard descriptors). Ends the process through `fail` when the memory
// cannot be had.
void setUpState(const std::string& modeWord, int64_t frameWidth, int64_t frameHeight);
