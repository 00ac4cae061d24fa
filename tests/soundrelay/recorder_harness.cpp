#include "recorder_harness.h"

#include "fd_wait.h"
#include "pipes.h"

#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>

namespace recordertest {

namespace {

using Clock = std::chrono::steady_clock;
using testsupport::closeFd;
using testsupport::remainingMs;
using testsupport::waitReadable;

}  // namespace

Pipe::Pipe(bool packets)
{
    int ends[2];
    const int made = packets ? testsupport::recordPair(ends) : testsupport::cloexecPipe(ends);
    if (made == 0) {
        read = ends[0];
        write = ends[1];
    }
}

Pipe::~Pipe()
{
    closeRead();
    closeWrite();
}

void Pipe::closeRead()
{
    closeFd(read);
}

void Pipe::closeWrite()
{
    closeFd(write);
}

RecorderHarness::RecorderHarness(HarnessOptions options)
{
    // As in the real process: a closed pipe must not end the tests.
    std::signal(SIGPIPE, SIG_IGN);
    if (options.pcmPackets) {
        pcm_.closeRead();
        pcm_.closeWrite();
        Pipe packets(true);
        std::swap(pcm_.read, packets.read);
        std::swap(pcm_.write, packets.write);
    }
    recorder::Descriptors fds;
    fds.input = options.stdinClosed ? -1 : input_.read;
    fds.output = output_.write;
    fds.pcm = options.pcmNotOpen ? -1 : (options.pcmToStdout ? output_.write : pcm_.write);
    helper_.emplace(platform_, fds);
    loop_ = std::thread([this] {
        helper_->runUntilEndOfInput();
        std::lock_guard lock(loopMutex_);
        loopEnded_ = true;
        loopCv_.notify_all();
    });
}

RecorderHarness::~RecorderHarness()
{
    closeInput();
    // Whatever the test left unread must not block the recorder.
    output_.closeRead();
    pcm_.closeRead();
    loop_.join();
    helper_.reset();
}

void RecorderHarness::sendLine(const std::string& line)
{
    sendBytes(line + "\n");
}

void RecorderHarness::sendBytes(const std::string& bytes)
{
    ASSERT_EQ(::write(input_.write, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
}

void RecorderHarness::closeInput()
{
    input_.closeWrite();
}

bool RecorderHarness::waitLoopEnded(milliseconds timeout)
{
    std::unique_lock lock(loopMutex_);
    return loopCv_.wait_for(lock, timeout, [this] { return loopEnded_; });
}

bool RecorderHarness::readInto(int fd, std::string& into, milliseconds timeout)
{
    if (!waitReadable(fd, Clock::now() + timeout)) {
        return false;
    }
    char chunk[4096];
    const ssize_t got = ::read(fd, chunk, sizeof chunk);
    if (got <= 0) {
        return false;
    }
    into.append(chunk, static_cast<size_t>(got));
    return true;
}

std::optional<std::string> RecorderHarness::readLine(milliseconds timeout)
{
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        const size_t lf = stdoutBuffer_.find('\n');
        if (lf != std::string::npos) {
            std::string line = stdoutBuffer_.substr(0, lf);
            stdoutBuffer_.erase(0, lf + 1);
            return line;
        }
        if (!readInto(output_.read, stdoutBuffer_, milliseconds(remainingMs(deadline)))) {
            return std::nullopt;
        }
    }
}

std::optional<json> RecorderHarness::readEvent(milliseconds timeout)
{
    auto line = readLine(timeout);
    if (!line) {
        return std::nullopt;
    }
    json event = json::parse(*line, nullptr, false);
    if (event.is_discarded() || !event.is_object()) {
        ADD_FAILURE() << "not a JSON object: " << *line;
        return std::nullopt;
    }
    return event;
}

bool RecorderHarness::noLineWithin(milliseconds quiet)
{
    return !readLine(quiet).has_value();
}

std::vector<json> RecorderHarness::eventsBeforePong()
{
    sendLine(R"({"command":"ping"})");
    std::vector<json> events;
    while (auto event = readEvent()) {
        if ((*event)["type"] == "pong") {
            return events;
        }
        events.push_back(*event);
    }
    ADD_FAILURE() << "no pong";
    return events;
}

std::vector<uint8_t> RecorderHarness::readPcm(size_t bytes, milliseconds timeout)
{
    const auto deadline = Clock::now() + timeout;
    std::string got;
    while (got.size() < bytes) {
        if (!readInto(pcm_.read, got, milliseconds(remainingMs(deadline)))) {
            break;
        }
    }
    return std::vector<uint8_t>(got.begin(), got.end());
}

std::vector<uint8_t> RecorderHarness::drainPcm()
{
    std::string got;
    while (readInto(pcm_.read, got, milliseconds(0))) {
    }
    return std::vector<uint8_t>(got.begin(), got.end());
}

std::optional<std::vector<uint8_t>> RecorderHarness::readPcmWrite(milliseconds timeout)
{
    if (!waitReadable(pcm_.read, Clock::now() + timeout)) {
        return std::nullopt;
    }
    std::vector<uint8_t> record(1 << 16);
    const ssize_t got = ::read(pcm_.read, record.data(), record.size());
    if (got <= 0) {
        return std::nullopt;
    }
    record.resize(static_cast<size_t>(got));
    return record;
}

void RecorderHarness::closePcmReader()
{
    pcm_.closeRead();
}

int RecorderHarness::resizePcmPipe(int bytes)
{
    return testsupport::setPipeCapacity(pcm_.write, bytes);
}

bool RecorderHarness::waitPcmPending(milliseconds timeout)
{
    pollfd entry{pcm_.read, POLLIN, 0};
    return ::poll(&entry, 1, static_cast<int>(timeout.count())) > 0 && (entry.revents & POLLIN) != 0;
}

bool RecorderHarness::waitInputConsumed(milliseconds timeout)
{
    // A pipe cannot be waited on for emptiness; its fill level is polled.
    const auto deadline = Clock::now() + timeout;
    int pending = 0;
    while (::ioctl(input_.read, FIONREAD, &pending) == 0 && pending > 0) {
        if (Clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(milliseconds(1));
    }
    return pending == 0;
}

std::string RecorderHarness::readCombinedUntil(const std::string& until, milliseconds timeout)
{
    const auto deadline = Clock::now() + timeout;
    std::string got = std::exchange(stdoutBuffer_, std::string());
    while (got.find(until) == std::string::npos) {
        if (!readInto(output_.read, got, milliseconds(remainingMs(deadline)))) {
            break;
        }
    }
    return got;
}

std::shared_ptr<audio::PcmBuffer> constantBuffer(double rate, uint32_t channels, uint32_t frames, float value)
{
    const audio::Format format{audio::CommonFormat::Float32, rate, channels, false};
    return sim::makeFloatBuffer(format, std::vector<std::vector<float>>(channels, std::vector<float>(frames, value)));
}

std::shared_ptr<audio::PcmBuffer> samplesBuffer(double rate, uint32_t channels, const std::vector<float>& samples)
{
    const audio::Format format{audio::CommonFormat::Float32, rate, channels, false};
    std::vector<std::vector<float>> data(channels, std::vector<float>(samples.size(), 0.0f));
    data[0] = samples;
    return sim::makeFloatBuffer(format, data);
}

std::vector<int16_t> samplesOf(const std::vector<uint8_t>& bytes)
{
    std::vector<int16_t> samples;
    for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
        samples.push_back(static_cast<int16_t>(bytes[i] | (bytes[i + 1] << 8)));
    }
    return samples;
}

}  // namespace recordertest
