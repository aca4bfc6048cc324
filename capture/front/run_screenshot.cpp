#include "front/commands.hpp"
#include "front/emit.hpp"

// Filled in with the screenshot command.
void runScreenshot(Options) { fail("screenshot-failed: not available yet"); }
