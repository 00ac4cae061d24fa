#include "helper_paths.h"

#include "own_path.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <vector>

namespace ptthost {

namespace {

namespace fs = std::filesystem;

// The directory of the running program; empty when the system does not say.
fs::path ownDirectory()
{
    return ownExecutable().parent_path();
}

bool runnable(const fs::path& path)
{
    return ::access(path.c_str(), X_OK) == 0;
}

std::optional<HelperPaths> helpersIn(const fs::path& directory)
{
    HelperPaths paths{(directory / "keywatch").string(), (directory / "soundrelay").string()};
    if (!runnable(paths.keywatch) || !runnable(paths.soundrelay)) {
        return std::nullopt;
    }
    return paths;
}

}  // namespace

std::optional<HelperPaths> findHelpers(const std::string& directory, std::string& error)
{
    std::vector<fs::path> candidates;
    const char* fromEnvironment = std::getenv("PTT_HELPERS_DIR");
    if (!directory.empty()) {
        candidates.emplace_back(directory);
    } else if (fromEnvironment != nullptr && *fromEnvironment != '\0') {
        candidates.emplace_back(fromEnvironment);
    } else {
        if (const fs::path own = ownDirectory(); !own.empty()) {
            candidates.push_back(own);
            candidates.push_back(own.parent_path() / "libexec" / "pushtalk_helpers");
        }
        candidates.emplace_back("/usr/libexec/pushtalk_helpers");  // the Debian package
    }
    std::string tried;
    for (const auto& candidate : candidates) {
        if (auto found = helpersIn(candidate)) {
            return found;
        }
        tried += (tried.empty() ? "" : ", ") + candidate.string();
    }
    error = "keywatch and soundrelay not found (looked in " + (tried.empty() ? "no place" : tried) +
            "); name their directory with --helpers";
    return std::nullopt;
}

}  // namespace ptthost
