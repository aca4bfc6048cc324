#include "session.hpp"

#include <new>

#include "output.hpp"

namespace vision {

Session::Session(Mode mode, int64_t width, int64_t height)
    : mode(mode), width(width), height(height) {
  try {
    frame.assign(static_cast<size_t>(width * height * 4), 0);
    mask.assign(static_cast<size_t>(width * height), 0);
  } catch (const std::bad_alloc&) {
    fail("could not allocate a frame");
  }
}

}  // namespace vision
