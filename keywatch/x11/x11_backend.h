// The stand-in's keyboard backend for X11 displays.
#pragma once

#include "backend.h"

#include <memory>

namespace x11 {

// Finds the display through DISPLAY whenever it needs one, so it can be
// made before a display exists and outlives the display going away.
std::unique_ptr<standin::Backend> makeX11Backend();

}  // namespace x11
