#include "recorder_helper.h"

#include "fd_io.h"
#include "line_reader.h"
#include "utf8.h"

#include <cstdlib>
#include <thread>

namespace recorder {

namespace {

constexpr double kDefaultSampleRate = 16000.0;
constexpr int64_t kDefaultChannels = 1;
constexpr double kDefaultStandbySeconds = 1.0;

}  // namespace

RecorderHelper::RecorderHelper(audio::AudioPlatform& platform, Descriptors descriptors)
    : platform_(platform), fds_(descriptors), gate_(std::make_shared<TapGate>())
{
    gate_->helper = this;
}

RecorderHelper::~RecorderHelper()
{
    teardownEngine();
    std::lock_guard lock(gate_->mutex);
    gate_->helper = nullptr;
}

void RecorderHelper::run()
{
    std::thread loop([this] {
        runUntilEndOfInput();
        // Every event went out unbuffered; nothing is left to flush.
        std::_Exit(0);
    });
    loop.join();
    std::_Exit(0);
}

void RecorderHelper::runUntilEndOfInput()
{
    LineReader reader(fds_.input);
    while (auto line = reader.next()) {
        if (line->overlong) {
            send(errorEvent("decode_failed:line_too_long"));
            continue;
        }
        handleLine(line->text);
    }
    stop();
    // End of input ends standby too, without an event of its own.
    endStandby();
}

void RecorderHelper::handleLine(const std::string& rawLine)
{
    // Pre-roll counts back from the moment the line came, not from when
    // its start has been set up.
    noteLineArrival();
    const std::string line = replaceInvalidUtf8(rawLine);
    if (line.empty()) {
        return;
    }
    auto decoded = decodeCommand(line);
    if (const auto* failure = std::get_if<DecodeError>(&decoded)) {
        send(errorEvent("decode_failed:" + failure->description));
        return;
    }
    dispatch(std::get<Command>(decoded));
}

void RecorderHelper::dispatch(const Command& command)
{
    endStandbyIfLost();
    if (command.command == "ping") {
        send(Event{{"type", std::string("pong")}});
        return;
    }
    if (command.command == "start") {
        const auto failure = start(command.sampleRate.value_or(kDefaultSampleRate),
                                   command.channels.value_or(kDefaultChannels), command.fixturePath,
                                   command.preRollMs);
        if (failure) {
            send(errorEvent("decode_failed:" + failure->description));
        }
        return;
    }
    if (command.command == "stop" || command.command == "abort") {
        stop();
        return;
    }
    if (command.command == "standby") {
        standby(command.seconds.value_or(kDefaultStandbySeconds));
        return;
    }
    send(errorEvent("unknown_command"));
}

void RecorderHelper::send(const Event& event)
{
    const auto line = serialiseEvent(event);
    if (!line) {
        return;
    }
    // Events come from three threads; the lock and the single buffer keep
    // each line and its LF together. A failed write is not reported.
    std::lock_guard lock(sendMutex_);
    writeAll(fds_.output, line->data(), line->size());
}

}  // namespace recorder
