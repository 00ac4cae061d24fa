#include "own_path.h"

#include <mach-o/dyld.h>

#include <cstdint>
#include <cstring>
#include <string>

namespace ptthost {

// The loader names the file the program was started as, which may be a
// symbolic link; a first call with no room asks for the size.
std::filesystem::path ownExecutable()
{
    uint32_t size = 0;
    _NSGetExecutablePath(nullptr, &size);
    if (size == 0) {
        return {};
    }
    std::string path(size, '\0');
    if (_NSGetExecutablePath(path.data(), &size) != 0) {
        return {};
    }
    path.resize(std::strlen(path.c_str()));
    std::error_code error;
    const std::filesystem::path real = std::filesystem::canonical(path, error);
    return error ? std::filesystem::path() : real;
}

}  // namespace ptthost
