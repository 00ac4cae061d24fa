// The host's command line.
#pragma once

#include <optional>
#include <string>

namespace ptthost {

struct Options {
    std::string outputDir = "utterances";
    std::string helpersDir;   // empty: look in the usual places
    std::string fixturePath;  // empty: record the microphone
    int utterances = 0;       // exit after this many; 0: run until stopped
    int preRollMs = -1;       // below 0: no standby, no pre-roll
    bool help = false;
};

// Empty, with `error` set, when the command line is wrong.
std::optional<Options> parseOptions(int argc, char** argv, std::string& error);

std::string usage(const std::string& program);

}  // namespace ptthost
