#include "host.h"

#include "json_fields.h"
#include "say.h"
#include "stop_signals.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>

namespace ptthost {

namespace {

using std::chrono::milliseconds;

// How long a freshly started helper may take to answer (ok line, pong).
constexpr milliseconds kAnswerTime{5000};
// keywatch writes a heartbeat every 2 s; three missed in a row mean its
// loop is stuck, even though the process is still there.
constexpr milliseconds kKeywatchSilence{7000};
// A wedged or stuck helper is not waited for long at each step of its stop.
constexpr milliseconds kStuckGrace{500};
// The loop wakes at least this often, to look at its timers.
constexpr milliseconds kLongestSleep{1000};

int msUntil(std::chrono::steady_clock::time_point when)
{
    const auto left = std::chrono::duration_cast<milliseconds>(when - std::chrono::steady_clock::now());
    return static_cast<int>(std::clamp<milliseconds::rep>(left.count(), 0, kLongestSleep.count()));
}

bool readable(const pollfd& entry)
{
    return entry.fd >= 0 && (entry.revents & (POLLIN | POLLHUP | POLLERR)) != 0;
}

// A second at least, and room for the time the press takes to arrive.
int standbySeconds(int preRollMs)
{
    return std::min(10, (preRollMs + 500 + 999) / 1000);
}

}  // namespace

Host::Host(const HostConfig& config)
    : config_(config),
      keywatch_("keywatch", config.helpers.keywatch, {}, false),
      recorder_("soundrelay", config.helpers.soundrelay, {}, true),
      utterances_(config.outputDir, config.fixturePath, [this](const std::string& line) { return recorder_.send(line); })
{
    if (config.preRollMs >= 0) {
        utterances_.setPreRoll(config.preRollMs, standbySeconds(config.preRollMs));
    }
}

bool Host::start(std::string& error)
{
    std::error_code made;
    std::filesystem::create_directories(config_.outputDir, made);
    if (made) {
        error = "cannot make " + config_.outputDir.string() + ": " + made.message();
        return false;
    }
    if (!startKeywatch(error)) {
        return false;
    }
    if (!startRecorder(error)) {
        keywatch_.stop();
        return false;
    }
    say("ready: push-to-talk records into " + config_.outputDir.string());
    return true;
}

bool Host::startKeywatch(std::string& error)
{
    if (!keywatch_.launch(error)) {
        return false;
    }
    const auto first = keywatch_.awaitLine(kAnswerTime);
    const auto line = first ? readKeywatchLine(*first) : KeywatchLine{};
    if (line.kind == KeywatchLine::Kind::Ready) {
        lastKeywatchLine_ = Clock::now();
        tapWorking_ = true;
        say("keywatch started (pid " + std::to_string(keywatch_.pid()) + ", " + line.text + ")");
        return true;
    }
    if (line.kind == KeywatchLine::Kind::Failed) {
        error = "keywatch cannot watch the keyboard: " + line.text;
    } else if (first) {
        error = "keywatch began with " + *first + " instead of its ok line";
    } else {
        error = "keywatch gave no ok line";
    }
    error += " (" + keywatch_.stop() + ")";
    return false;
}

bool Host::startRecorder(std::string& error)
{
    if (!recorder_.launch(error)) {
        return false;
    }
    pcmOpen_ = true;
    recorder_.send(R"({"command":"ping"})");
    const auto first = recorder_.awaitLine(kAnswerTime);
    if (first && textField(parseObject(*first), "type") == "pong") {
        say("soundrelay started (pid " + std::to_string(recorder_.pid()) + ")");
        enterStandby();
        return true;
    }
    error = first ? "soundrelay answered " + *first + " to a ping" : "soundrelay did not answer a ping";
    error += " (" + recorder_.stop() + ")";
    return false;
}

// With --pre-roll, soundrelay holds input from the start, and again after
// every restart. A recorder that cannot is said so and records without.
void Host::enterStandby()
{
    if (config_.preRollMs < 0) {
        return;
    }
    const int seconds = standbySeconds(config_.preRollMs);
    recorder_.send(nlohmann::json{{"command", "standby"}, {"seconds", seconds}}.dump());
    const auto answer = recorder_.awaitLine(kAnswerTime);
    const auto event = answer ? parseObject(*answer) : nlohmann::json();
    if (textField(event, "type") == "standby_started") {
        say("soundrelay in standby: microphone open, " + std::to_string(seconds) + " s held for a pre-roll of " +
            std::to_string(config_.preRollMs) + " ms");
        return;
    }
    say("soundrelay has no standby (" + (answer ? *answer : std::string("no answer")) + "); recording without pre-roll");
}

int Host::run()
{
    while (!stopping_) {
        step();
    }
    // The open utterance ends as a release would: soundrelay answers the
    // stop and the WAV file gets its last samples. The stop's deadline
    // bounds this.
    while (utterances_.open() && recorder_.running()) {
        step();
    }
    utterances_.abandon("soundrelay is gone");
    stopHelpers();
    say("bye: " + std::to_string(utterances_.written()) + " utterance(s) written");
    return exitStatus_;
}

void Host::step()
{
    pollfd fds[] = {
        {StopSignals::fd(), POLLIN, 0},
        {pcmOpen_ ? recorder_.pcmFd() : -1, POLLIN, 0},
        {recorder_.stdoutFd(), POLLIN, 0},
        {keywatch_.stdoutFd(), POLLIN, 0},
    };
    if (::poll(fds, std::size(fds), pollTimeoutMs()) < 0 && errno != EINTR) {
        requestStop(std::string("poll failed: ") + std::strerror(errno), 1);
        return;
    }
    if (const int signal = readable(fds[0]) ? StopSignals::take() : 0; signal != 0) {
        requestStop(signal == SIGINT ? "SIGINT" : "SIGTERM", 0);
    }
    if (readable(fds[1])) {
        readPcm();
    }
    if (readable(fds[2])) {
        readRecorder();
    }
    if (readable(fds[3])) {
        readKeywatch();
    }
    checkTimers();
}

int Host::pollTimeoutMs() const
{
    auto wake = Clock::now() + kLongestSleep;
    if (keywatch_.running()) {
        wake = std::min(wake, lastKeywatchLine_ + kKeywatchSilence);
    }
    if (const auto stopDue = utterances_.stopDeadline()) {
        wake = std::min(wake, *stopDue);
    }
    return msUntil(wake);
}

void Host::readKeywatch()
{
    std::vector<std::string> lines;
    const bool open = keywatch_.readLines(lines);
    for (const auto& line : lines) {
        onKeywatchLine(line);
    }
    if (!open) {
        utterances_.release("keywatch went away");
        replace(keywatch_, "ended");
    }
}

void Host::onKeywatchLine(const std::string& text)
{
    using Kind = KeywatchLine::Kind;
    lastKeywatchLine_ = Clock::now();
    const KeywatchLine line = readKeywatchLine(text);
    switch (line.kind) {
    case Kind::CapsDown:
        if (!stopping_) {
            utterances_.press();
        }
        break;
    case Kind::CapsUp:
        utterances_.release(line.stuck ? "keywatch released Caps as stuck" : "");
        break;
    case Kind::Heartbeat:
        noteTapHealth(line);
        break;
    case Kind::KeysReset:
        // No release line follows a reset, so the host ends the utterance.
        say("keywatch: " + line.text + "; keys reset");
        utterances_.release("keywatch reset its keys");
        break;
    case Kind::Notice:
        say("keywatch: " + line.text);
        break;
    case Kind::Ignored:
        break;
    case Kind::Ready:
    case Kind::Failed:
    case Kind::Unreadable:
        say("keywatch: unexpected line " + text);
        break;
    }
}

void Host::noteTapHealth(const KeywatchLine& beat)
{
    if (beat.tapValid == tapWorking_) {
        return;
    }
    tapWorking_ = beat.tapValid;
    say(tapWorking_ ? "keywatch: the keyboard tap works again"
                    : "keywatch: no working keyboard tap; keywatch retries every 2 s");
}

void Host::readRecorder()
{
    // The PCM of a recording is written before its recording_stopped, so
    // taking the PCM first keeps the end of each utterance in its file.
    readPcm();
    std::vector<std::string> lines;
    const bool open = recorder_.readLines(lines);
    for (const auto& line : lines) {
        const auto event = parseObject(line);
        if (event.is_null()) {
            say("soundrelay: unreadable line " + line);
        } else {
            utterances_.onRecorderEvent(event);
        }
    }
    if (!open) {
        readPcm();
        utterances_.abandon("soundrelay went away");
        replace(recorder_, "ended");
    }
}

void Host::readPcm()
{
    uint8_t buffer[8192];
    while (pcmOpen_) {
        const ssize_t n = ::read(recorder_.pcmFd(), buffer, sizeof buffer);
        if (n > 0) {
            utterances_.onPcm(std::span<const uint8_t>(buffer, static_cast<size_t>(n)));
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            return;
        }
        pcmOpen_ = false;  // end of file or a failed read: soundrelay is gone
    }
}

void Host::checkTimers()
{
    const auto now = Clock::now();
    if (keywatch_.running() && now - lastKeywatchLine_ > kKeywatchSilence) {
        utterances_.release("keywatch is silent");
        replace(keywatch_, "silent for " + std::to_string(kKeywatchSilence.count() / 1000) + " s, wedged", kStuckGrace);
    }
    if (const auto stopDue = utterances_.stopDeadline(); stopDue && now > *stopDue) {
        readPcm();
        utterances_.abandon("soundrelay did not answer the stop");
        replace(recorder_, "stuck", kStuckGrace);
    }
    if (config_.utterances > 0 && utterances_.written() >= config_.utterances) {
        requestStop(std::to_string(config_.utterances) + " utterance(s) written", 0);
    }
}

// Stops a helper that died or hangs, and starts it anew while restarts are
// left; without one the host stops with status 1.
void Host::replace(Helper& helper, const std::string& why, milliseconds grace)
{
    say(helper.name() + " " + why + " (" + helper.stop(grace) + ")");
    while (!stopping_) {
        if (!helper.mayRestart()) {
            requestStop(helper.name() + " keeps failing", 1);
            return;
        }
        say("restarting " + helper.name());
        std::string error;
        if (&helper == &keywatch_ ? startKeywatch(error) : startRecorder(error)) {
            return;
        }
        say(error);
    }
}

void Host::requestStop(const std::string& why, int exitStatus)
{
    exitStatus_ = std::max(exitStatus_, exitStatus);
    if (stopping_) {
        return;
    }
    stopping_ = true;
    say("stopping: " + why);
    utterances_.release("stopping");
}

void Host::stopHelpers()
{
    // End of input first for both, so their grace periods run side by side.
    keywatch_.closeInput();
    recorder_.closeInput();
    for (Helper* helper : {&keywatch_, &recorder_}) {
        if (helper->running()) {
            say(helper->name() + " stopped (" + helper->stop() + ")");
        }
    }
}

}  // namespace ptthost
