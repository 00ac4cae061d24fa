// Forced after as_built_on_a_mac.h into what runs on macOS 10.14. Apple's
// C++ library marks std::filesystem unavailable before 10.15, so any use of
// it must stop the build here as it does there. The deployment target is
// told as Apple's headers tell it, so that a library that asks for it (the
// JSON library does) leaves its filesystem parts out, as on such a Mac.
#pragma once

#define __MAC_OS_X_VERSION_MIN_REQUIRED 101400

// What mentions the name in the standard headers is read before it is
// poisoned.
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <string_view>

#pragma GCC poison filesystem
