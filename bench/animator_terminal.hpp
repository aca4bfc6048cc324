#pragma once
// The terminal scene of the recording benchmark.
#include <memory>

#include "animator_scene.hpp"

namespace bench {

// A full-screen terminal in which commands are typed at 15 characters a second
// and print bursts of lines at 50 a second, scrolling the screen.
std::unique_ptr<Scene> makeTerminalScene(int width, int height, int rate);

}  // namespace bench
