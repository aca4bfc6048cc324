#include "state.hpp"

#include <new>

#include <unistd.h>

#include "output.hpp"

std::string mode;
int64_t width = 0;
int64_t height = 0;
int64_t frameBytes = 0;
int input = STDIN_FILENO;
int output = STDOUT_FILENO;
std::vector<uint8_t> frame;
std::vector<uint8_t> maskBytes;

void setUpState(const std::string& modeWord, int64_t frameWidth, int64_t frameHeight) {
  mode = modeWord;
  width = frameWidth;
  height = frameHeight;
  frameBytes = width * height * 4;
  input = STDIN_FILENO;
  output = STDOUT_FILENO;
  try {
    frame.assign(static_cast<size_t>(frameBytes), 0);
    maskBytes.assign(static_cast<size_t>(width * height), 0);
  } catch (const std::bad_alloc&) {
    fail("could not allocate a frame");
  }
}
