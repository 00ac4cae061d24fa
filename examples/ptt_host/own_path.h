// The running program's own file, as each system tells it: one source file
// per system (own_path_linux.cpp, own_path_macos.cpp).
#pragma once

#include <filesystem>

namespace ptthost {

// The absolute path of this program, symbolic links resolved; empty when
// the system does not say.
std::filesystem::path ownExecutable();

}  // namespace ptthost
