// The real recorder binary driven over pipes on 0, 1 and 3.
#pragma once

#include <nlohmann/json.hpp>

#include <optional>
#include <string>
#include <vector>

#include "child_process.h"

namespace recorderprocess {

using testsupport::milliseconds;

struct RecorderOptions {
    std::vector<std::string> env;  // "KEY=VALUE" for the recorder
    bool pipeFd3 = true;  // false: descriptor 3 is not open in the recorder
    bool stdinOpen = true;  // false: standard input is not open in the recorder
};

class RecorderProcess {
public:
    // Empty with `error` filled in when the binary cannot be started.
    static std::optional<RecorderProcess> spawn(const RecorderOptions& options, std::string* error);

    bool send(const nlohmann::json& command);
    // The next event, or nothing at the timeout or end of output; a line
    // that is not JSON comes back as a string value.
    std::optional<nlohmann::json> nextEvent(milliseconds timeout = milliseconds(5000));
    // Events until one of `type` arrives (returned) or the timeout passes.
    std::optional<nlohmann::json> waitFor(const std::string& type, milliseconds timeout = milliseconds(5000),
                                          std::vector<nlohmann::json>* skipped = nullptr);

    // Closes standard input and returns the exit status and what standard
    // error carried in the whole life of the process.
    std::optional<int> finish(std::string& stderrText);

    testsupport::Child& child() { return *child_; }

private:
    std::optional<testsupport::Child> child_;
};

// Finishes a recorder a test started and expects a clean exit with
// nothing on standard error; nothing to do when none was started.
void expectCleanFinish(std::optional<RecorderProcess>& recorder);

// Little-endian 16-bit samples from the bytes of descriptor 3.
std::vector<int16_t> samplesOf(const std::vector<uint8_t>& bytes);
std::vector<float> floatsOf(const std::vector<int16_t>& samples);

}  // namespace recorderprocess
