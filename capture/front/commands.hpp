#pragma once
// The command tasks, one per process run. Each ends the process itself.
#include "front/options.hpp"

[[noreturn]] void runCheck();
[[noreturn]] void runApps();
[[noreturn]] void runScreenshot(Options options);
[[noreturn]] void runRecord();
