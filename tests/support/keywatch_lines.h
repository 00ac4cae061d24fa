// Reading keywatch's lines from its standard output: the ok line first,
// then event lines with the heartbeats passed over.
#pragma once

#include "child_process.h"

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace testsupport {

// Caps Lock's two lines, which most tests wait for.
inline const std::string kCd = R"({"t":"cd"})";
inline const std::string kCu = R"({"t":"cu"})";

bool isHeartbeat(const std::string& line);

// The first line, if it is the ok line; otherwise empty, with `error` saying
// what came instead.
std::optional<std::string> readOkLine(Child& keywatch, std::chrono::milliseconds timeout, std::string* error);

// The next line that is not a heartbeat; those passed over are appended to
// `skipped` when it is given.
std::optional<std::string> nextEventLine(Child& keywatch, std::chrono::milliseconds timeout,
                                         std::vector<std::string>* skipped = nullptr);

}  // namespace testsupport
