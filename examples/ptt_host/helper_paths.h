// Where keywatch and soundrelay are.
#pragma once

#include <optional>
#include <string>

namespace ptthost {

struct HelperPaths {
    std::string keywatch;
    std::string soundrelay;
};

// The helpers in `directory` when it is given (the --helpers option), else
// in $PTT_HELPERS_DIR when that is set. Otherwise the first of: beside this
// program (a build tree's bin/), <prefix>/libexec/pushtalk_helpers for a
// program in <prefix>/bin (an installed tree), /usr/libexec/pushtalk_helpers
// (the package). Empty, with `error` naming the places tried, when the two
// helpers are not found there.
std::optional<HelperPaths> findHelpers(const std::string& directory, std::string& error);

}  // namespace ptthost
