#include "utterances.h"

#include "json_fields.h"
#include "say.h"

#include <cmath>
#include <cstdio>
#include <string_view>

namespace ptthost {

namespace {

// A stop is answered within milliseconds; this long means soundrelay is stuck.
constexpr std::chrono::seconds kStopAnswerTime{3};

constexpr std::string_view kCaptureLost = "capture_lost:";
constexpr std::string_view kDecodeFailed = "decode_failed:";

// What follows `prefix` in `text`, or nothing when `text` does not start with it.
std::optional<std::string> after(const std::string& text, std::string_view prefix)
{
    if (text.compare(0, prefix.size(), prefix) != 0) {
        return std::nullopt;
    }
    return text.substr(prefix.size());
}

// "microphone at 48000 Hz", "fixture speech.wav"
std::string sourceOf(const nlohmann::json& started)
{
    const std::string source = textField(started, "inputSource");
    if (source == "fixture") {
        return "fixture " + textField(started, "fixtureName");
    }
    const auto inputRate = static_cast<long>(numberField(started, "inputSampleRate", 0));
    std::string text = source + " at " + std::to_string(inputRate) + " Hz";
    if (started.contains("preRollMs")) {
        text += ", from " + std::to_string(std::lround(numberField(started, "preRollMs", 0))) + " ms before the press";
    }
    return text;
}

std::string secondsText(double seconds)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.2f s", seconds);
    return text;
}

}  // namespace

Utterances::Utterances(std::filesystem::path outputDir, std::string fixturePath, SendCommand send)
    : outputDir_(std::move(outputDir)), fixturePath_(std::move(fixturePath)), send_(std::move(send))
{
}

void Utterances::press()
{
    if (current_) {
        pressPending_ = current_->stopping;
        return;
    }
    begin();
}

void Utterances::release(const std::string& why)
{
    pressPending_ = false;
    if (!current_ || current_->stopping) {
        return;
    }
    if (!why.empty()) {
        say(label() + ": " + why + ", ending it");
    }
    sendStop();
}

void Utterances::begin()
{
    const auto path = nextPath();
    std::string error;
    auto wav = WavWriter::create(path.string(), kSampleRate, error);
    if (!wav) {
        say("utterance " + std::to_string(lastNumber_) + ": " + error);
        return;
    }
    current_.emplace(Current{.number = lastNumber_, .wav = std::move(*wav)});
    nlohmann::json start = {{"command", "start"}, {"sampleRate", kSampleRate}, {"channels", 1}};
    if (!fixturePath_.empty()) {
        start["fixturePath"] = fixturePath_;
    }
    if (preRollMs_) {
        start["preRollMs"] = *preRollMs_;
    }
    if (!send_(start.dump())) {
        abandon("soundrelay takes no commands");
    }
}

void Utterances::sendStop()
{
    current_->stopping = true;
    current_->stopSentAt = Clock::now();
    if (!send_(nlohmann::json{{"command", "stop"}}.dump())) {
        abandon("soundrelay takes no commands");
    }
}

void Utterances::onRecorderEvent(const nlohmann::json& event)
{
    const std::string type = textField(event, "type");
    if (type == "recording_started" && current_) {
        current_->started = true;
        say(label() + ": recording from " + sourceOf(event));
    } else if (type == "recording_stopped" && current_) {
        complete();
    } else if (type == "fixture_finished" && current_) {
        say(label() + ": fixture " + textField(event, "fixtureName") + " played to its end");
    } else if (type == "standby_started" || type == "standby_stopped") {
        standbyAnswerDue_ = false;
        say("soundrelay: " + type);
    } else if (type == "error") {
        onRecorderError(textField(event, "error"));
    } else if (type != "pong") {
        say("soundrelay: " + event.dump());
    }
}

void Utterances::onRecorderError(const std::string& word)
{
    if (const auto why = after(word, kCaptureLost)) {
        standbyLost_ = preRollMs_.has_value();
        if (!current_) {
            say("soundrelay: capture lost (" + *why + ")");
            resumeStandby();
            return;
        }
        // The recording counts as running until stopped; the next press
        // starts a fresh one.
        say(label() + ": capture lost (" + *why + ")");
        release();
        return;
    }
    const auto why = after(word, kDecodeFailed);
    // Answers come in order, so the first refusal after a standby is its.
    if (why && standbyAnswerDue_) {
        standbyAnswerDue_ = false;
        standbyLost_ = true;
        say("soundrelay could not resume standby (" + *why + "); no pre-roll until it can");
        return;
    }
    if (why && current_ && !current_->started) {
        // Besides a standby, only a start can fail this way: the host sends
        // nothing else that could be refused.
        current_->startFailed = true;
        say(label() + ": soundrelay could not start it (" + *why + ")");
        release();
        return;
    }
    say("soundrelay error: " + word);
}

void Utterances::onPcm(std::span<const uint8_t> bytes)
{
    // Nothing of a recording follows its recording_stopped, so bytes with no
    // utterance open are not expected; they have nowhere to go.
    if (!current_ || current_->writeFailed) {
        return;
    }
    if (!current_->wav.append(bytes)) {
        current_->writeFailed = true;
        say(label() + ": cannot write " + current_->wav.path() + "; the rest of it is lost");
    }
}

void Utterances::abandon(const std::string& why)
{
    pressPending_ = false;
    if (!current_) {
        return;
    }
    say(label() + ": " + why);
    complete();
}

void Utterances::complete()
{
    Current done = std::move(*current_);
    current_.reset();
    const std::string name = "utterance " + std::to_string(done.number);
    const bool finished = done.wav.finish();
    std::error_code ignored;
    if (done.startFailed || done.wav.sampleCount() == 0) {
        std::filesystem::remove(done.wav.path(), ignored);
        say(name + ": nothing recorded");
    } else if (!finished || done.writeFailed) {
        say(name + ": " + done.wav.path() + " is incomplete");
    } else {
        ++written_;
        say(name + ": " + done.wav.path() + ", " + secondsText(done.wav.seconds()));
    }
    if (pressPending_) {
        pressPending_ = false;
        begin();
        return;
    }
    resumeStandby();
}

void Utterances::resumeStandby()
{
    if (!standbyLost_ || current_ || standbyAnswerDue_) {
        return;
    }
    standbyLost_ = false;
    standbyAnswerDue_ = send_(nlohmann::json{{"command", "standby"}, {"seconds", standbySeconds_}}.dump());
}

std::optional<Utterances::Clock::time_point> Utterances::stopDeadline() const
{
    if (!current_ || !current_->stopping) {
        return std::nullopt;
    }
    return current_->stopSentAt + kStopAnswerTime;
}

std::string Utterances::label() const
{
    return "utterance " + std::to_string(current_ ? current_->number : lastNumber_);
}

// The next free name: files of an earlier run are kept, not overwritten.
std::filesystem::path Utterances::nextPath()
{
    std::error_code ignored;
    std::filesystem::path path;
    do {
        char name[32];
        std::snprintf(name, sizeof name, "utt-%03d.wav", ++lastNumber_);
        path = outputDir_ / name;
    } while (std::filesystem::exists(path, ignored));
    return path;
}

}  // namespace ptthost
