// Repair of command lines that are not valid UTF-8.
#pragma once

#include <string>
#include <string_view>

namespace recorder {

// Replaces every maximal ill-formed subsequence with U+FFFD.
std::string replaceInvalidUtf8(std::string_view bytes);

}  // namespace recorder
