#include "recorder_process.h"

#include "private_pulse.h"

#include <gtest/gtest.h>

namespace recorderprocess {

std::optional<RecorderProcess> RecorderProcess::spawn(const RecorderOptions& options, std::string* error)
{
    testsupport::ChildOptions child;
    child.argv = {SOUNDRELAY_BINARY};
    child.pipeStdin = options.stdinOpen;
    child.extraEnv = options.env;
    child.removeEnv = testsupport::PrivatePulse::foreignEnvironment();
    child.pipeFd3 = options.pipeFd3;
    RecorderProcess recorder;
    recorder.child_ = testsupport::Child::spawn(child, error);
    if (!recorder.child_) {
        return std::nullopt;
    }
    return recorder;
}

bool RecorderProcess::send(const nlohmann::json& command)
{
    return child_->writeStdin(command.dump() + "\n");
}

std::optional<nlohmann::json> RecorderProcess::nextEvent(milliseconds timeout)
{
    const auto line = child_->readLine(timeout);
    if (!line) {
        return std::nullopt;
    }
    auto parsed = nlohmann::json::parse(*line, nullptr, false);
    if (parsed.is_discarded()) {
        return nlohmann::json(*line);
    }
    return parsed;
}

std::optional<nlohmann::json> RecorderProcess::waitFor(const std::string& type, milliseconds timeout,
                                                       std::vector<nlohmann::json>* skipped)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        const auto left = std::chrono::duration_cast<milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            return std::nullopt;
        }
        auto event = nextEvent(left);
        if (!event) {
            return std::nullopt;
        }
        if (event->is_object() && event->value("type", "") == type) {
            return event;
        }
        if (skipped) {
            skipped->push_back(*event);
        }
    }
}

std::optional<int> RecorderProcess::finish(std::string& stderrText)
{
    child_->closeStdin();
    const auto status = child_->waitExit(milliseconds(10000));
    stderrText = child_->readStderr(milliseconds(2000));
    return status;
}

void expectCleanFinish(std::optional<RecorderProcess>& recorder)
{
    if (!recorder) {
        return;
    }
    std::string stderrText;
    EXPECT_EQ(recorder->finish(stderrText), 0);
    EXPECT_EQ(stderrText, "");
}

std::vector<int16_t> samplesOf(const std::vector<uint8_t>& bytes)
{
    std::vector<int16_t> samples;
    for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
        samples.push_back(static_cast<int16_t>(bytes[i] | (bytes[i + 1] << 8)));
    }
    return samples;
}

std::vector<float> floatsOf(const std::vector<int16_t>& samples)
{
    std::vector<float> floats;
    floats.reserve(samples.size());
    for (const int16_t s : samples) {
        floats.push_back(static_cast<float>(s) / 32768.0f);
    }
    return floats;
}

}  // namespace recorderprocess
