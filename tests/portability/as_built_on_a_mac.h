// Forced ahead of every file the macos preset builds, in the portability
// check. The calls, flags and headers only Linux has are poisoned first;
// then Linux's own macros go, so that a branch guarded by __linux__ drops
// out as it does on a Mac and the branch a Mac takes is the one compiled.
// The system's and the libraries' headers still work, as they are read as
// Linux has them or were read already.
#pragma once

#include "linux_only_poison.h"

#undef __linux__
#undef __linux
#undef __gnu_linux__
