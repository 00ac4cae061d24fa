#include "own_path.h"

namespace ptthost {

std::filesystem::path ownExecutable()
{
    std::error_code error;
    const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
    return error ? std::filesystem::path() : self;
}

}  // namespace ptthost
