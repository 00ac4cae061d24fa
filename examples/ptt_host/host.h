// The host: both helpers as children, one poll loop over their output, and
// the utterances that push-to-talk makes of the recorder's PCM.
#pragma once

#include "helper.h"
#include "helper_paths.h"
#include "keywatch_line.h"
#include "utterances.h"

#include <chrono>
#include <filesystem>
#include <string>

namespace ptthost {

struct HostConfig {
    HelperPaths helpers;
    std::filesystem::path outputDir;
    std::string fixturePath;  // empty: the microphone
    int utterances = 0;       // stop after this many; 0: run until told to
    int preRollMs = -1;       // below 0: no standby
};

class Host {
public:
    explicit Host(const HostConfig& config);

    // Makes the output directory and starts both helpers, waiting (bounded)
    // until each has answered; false with `error` saying what failed.
    bool start(std::string& error);
    // Runs until a stop signal, the utterance count or a helper that cannot
    // be kept running; then ends the open utterance and stops both helpers.
    // Returns the exit status.
    int run();

private:
    using Clock = std::chrono::steady_clock;

    bool startKeywatch(std::string& error);
    bool startRecorder(std::string& error);
    void enterStandby();
    void step();
    int pollTimeoutMs() const;
    void readKeywatch();
    void onKeywatchLine(const std::string& text);
    void noteTapHealth(const KeywatchLine& beat);
    void readRecorder();
    void readPcm();
    void checkTimers();
    void replace(Helper& helper, const std::string& why, std::chrono::milliseconds grace = kStopGrace);
    void requestStop(const std::string& why, int exitStatus);
    void stopHelpers();

    HostConfig config_;
    Helper keywatch_;
    Helper recorder_;
    Utterances utterances_;
    Clock::time_point lastKeywatchLine_;
    bool pcmOpen_ = false;
    bool tapWorking_ = true;
    bool stopping_ = false;
    int exitStatus_ = 0;
};

}  // namespace ptthost
