// Which backend serves which tap kind on Linux. Kind 0, the active tap,
// comes from the kernel's input devices, below every display server;
// kind 1 has no meaning of its own here and is refused; kind 2, listen
// only, comes from the X display when one answers and from the input
// devices otherwise.
#pragma once

#include "backend.h"

#include <memory>

namespace linuxkb {

std::unique_ptr<standin::Backend> makeLinuxBackend();

}  // namespace linuxkb
