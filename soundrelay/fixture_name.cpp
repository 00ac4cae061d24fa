#include "fixture_name.h"

namespace recorder {

std::string lastPathComponent(const std::string& path)
{
    const size_t end = path.find_last_not_of('/');
    if (end == std::string::npos) {
        return path.empty() ? path : "/";
    }
    const size_t slash = path.rfind('/', end);
    const size_t begin = slash == std::string::npos ? 0 : slash + 1;
    return path.substr(begin, end + 1 - begin);
}

}  // namespace recorder
