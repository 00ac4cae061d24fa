// The name a fixture is reported under.
#pragma once

#include <string>

namespace recorder {

// The last component of `path`, trailing slashes ignored ("/" stays "/").
std::string lastPathComponent(const std::string& path);

}  // namespace recorder
