// One command line of standard input, decoded.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace recorder {

struct Command {
    std::string command;
    std::optional<double> sampleRate;
    std::optional<int64_t> channels;
    std::optional<std::string> reason;
    std::optional<std::string> fixturePath;
    // "standby" only: how many seconds of input to hold.
    std::optional<double> seconds;
    // "start" only: how much held input the recording begins with.
    std::optional<double> preRollMs;
};

// Why a line did not decode, as a snake_case description.
struct DecodeError {
    std::string description;
};

// Decodes one line (already valid UTF-8, line ending removed). Never throws.
std::variant<Command, DecodeError> decodeCommand(std::string_view line);

}  // namespace recorder
