// The utterances of a session: a push-to-talk press starts a recording, its
// release stops it, and the PCM that arrives in between becomes one WAV file.
#pragma once

#include "wav_writer.h"

#include <nlohmann/json_fwd.hpp>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <span>
#include <string>

namespace ptthost {

inline constexpr uint32_t kSampleRate = 16000;

class Utterances {
public:
    using Clock = std::chrono::steady_clock;
    // Delivers one command line to soundrelay; false when it cannot.
    using SendCommand = std::function<bool(const std::string&)>;

    // `fixturePath`, when not empty, is recorded in place of the microphone.
    Utterances(std::filesystem::path outputDir, std::string fixturePath, SendCommand send);

    // Each start asks soundrelay to begin `milliseconds` before it, from
    // what its standby of `standbySeconds` holds. A lost capture ends
    // standby; it is asked for again once no utterance is open.
    void setPreRoll(int milliseconds, int standbySeconds)
    {
        preRollMs_ = milliseconds;
        standbySeconds_ = standbySeconds;
    }

    // Push-to-talk went down. A press while the last utterance is still
    // being stopped starts the next one as soon as it has ended.
    void press();
    // Push-to-talk went up, or `why` (printed) ends the utterance instead.
    void release(const std::string& why = {});

    void onRecorderEvent(const nlohmann::json& event);
    void onPcm(std::span<const uint8_t> bytes);
    // soundrelay is gone or stuck: the utterance ends with what arrived.
    void abandon(const std::string& why);

    bool open() const { return current_.has_value(); }
    // When an unanswered stop means soundrelay is stuck; none while no stop waits.
    std::optional<Clock::time_point> stopDeadline() const;
    // Utterances written so far.
    int written() const { return written_; }

private:
    struct Current {
        int number = 0;
        WavWriter wav;
        bool started = false;      // recording_started arrived
        bool startFailed = false;  // the start was refused
        bool stopping = false;     // stop sent
        bool writeFailed = false;
        Clock::time_point stopSentAt{};
    };

    void begin();
    void sendStop();
    void complete();
    void onRecorderError(const std::string& word);
    void resumeStandby();
    std::string label() const;
    std::filesystem::path nextPath();

    std::filesystem::path outputDir_;
    std::string fixturePath_;
    std::optional<int> preRollMs_;
    int standbySeconds_ = 0;
    bool standbyLost_ = false;      // to be asked for again
    bool standbyAnswerDue_ = false;  // a standby awaits its answer
    SendCommand send_;
    std::optional<Current> current_;
    bool pressPending_ = false;
    int lastNumber_ = 0;
    int written_ = 0;
};

}  // namespace ptthost
