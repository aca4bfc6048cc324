#include "recorder/recorder.hpp"

Recorder::Recorder(Options o) : options(std::move(o)) {}
