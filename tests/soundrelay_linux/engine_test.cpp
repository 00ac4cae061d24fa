#include <gtest/gtest.h>
#include <pulse/def.h>
#include <pulse/error.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "linux/pulse_engine.h"
#include "private_pulse.h"
#include "signal_checks.h"
#include "sound_fixtures.h"

namespace {

using namespace std::chrono_literals;
using audio::CommonFormat;
using audio::Format;

// Points this process's client library at one server and nothing else.
void useServerEnvironment(const std::vector<std::string>& assignments)
{
    for (const auto& name : testsupport::PrivatePulse::foreignEnvironment()) {
        ::unsetenv(name.c_str());
    }
    for (const auto& assignment : assignments) {
        const auto equals = assignment.find('=');
        ::setenv(assignment.substr(0, equals).c_str(), assignment.substr(equals + 1).c_str(), 1);
    }
}

// What the tap block saw, shared with the test thread.
struct Capture {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<float> samples;
    std::vector<Format> formats;
    std::vector<uint32_t> lengths;
    bool contiguous = true;
    int64_t nextSampleTime = -1;
    bool onTestThread = false;
    std::thread::id testThread = std::this_thread::get_id();

    audio::TapBlock block()
    {
        return [this](const std::shared_ptr<audio::PcmBuffer>& buffer, const audio::AudioTime& when) {
            std::lock_guard lock(mutex);
            formats.push_back(buffer->format());
            lengths.push_back(buffer->frameLength());
            const float* channel0 = buffer->floatChannelData()[0];
            samples.insert(samples.end(), channel0, channel0 + buffer->frameLength());
            if (nextSampleTime >= 0 && when.sampleTime != nextSampleTime) {
                contiguous = false;
            }
            nextSampleTime = when.sampleTime + buffer->frameLength();
            onTestThread = onTestThread || std::this_thread::get_id() == testThread;
            changed.notify_all();
        };
    }

    bool waitForFrames(size_t frames, std::chrono::milliseconds timeout)
    {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, timeout, [&] { return samples.size() >= frames; });
    }

    size_t frames()
    {
        std::lock_guard lock(mutex);
        return samples.size();
    }
};

class PulseEngineTest : public ::testing::Test {
protected:
    void startServer(const testsupport::PulseOptions& options = {})
    {
        std::string error;
        pulse_ = testsupport::PrivatePulse::start(options, &error);
        ASSERT_TRUE(pulse_) << error;
        useServerEnvironment(pulse_->clientEnvironment());
    }

    std::optional<testsupport::PrivatePulse> pulse_;
};

TEST_F(PulseEngineTest, ReportsTheDefaultSourcesFormat)
{
    for (const int rate : {48000, 22050}) {
        startServer({rate, 440, 1});
        auto engine = linuxaudio::makePulseEngine();
        EXPECT_EQ(engine->inputNode().inputFormat(0), (Format{CommonFormat::Float32, double(rate), 1, false}));
        EXPECT_FALSE(engine->isRunning());
    }
}

TEST_F(PulseEngineTest, CapturesTheToneOnItsOwnThread)
{
    startServer();
    auto engine = linuxaudio::makePulseEngine();
    const Format input = engine->inputNode().inputFormat(0);
    Capture capture;
    engine->inputNode().installTap(0, 1024, input, capture.block());
    engine->prepare();
    ASSERT_EQ(engine->start(), std::nullopt);
    EXPECT_TRUE(engine->isRunning());
    ASSERT_TRUE(capture.waitForFrames(48000, 10s));
    engine->inputNode().removeTap(0);
    engine->stop();
    EXPECT_FALSE(engine->isRunning());

    std::lock_guard lock(capture.mutex);
    EXPECT_FALSE(capture.onTestThread);
    EXPECT_TRUE(capture.contiguous);
    for (size_t i = 0; i < capture.formats.size(); ++i) {
        EXPECT_EQ(capture.formats[i], input);
        // Never more than the tap asked for, whatever the server posts at once.
        EXPECT_LE(capture.lengths[i], 1024u);
    }
    EXPECT_NEAR(signalchecks::estimatedFrequency(capture.samples, 48000), 440.0, 5.0);
}

TEST_F(PulseEngineTest, DeinterleavesEveryChannelOfTheSource)
{
    startServer({48000, 440, 2});
    auto engine = linuxaudio::makePulseEngine();
    const Format input = engine->inputNode().inputFormat(0);
    ASSERT_EQ(input, (Format{CommonFormat::Float32, 48000, 2, false}));
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<float> channels[2];
    engine->inputNode().installTap(0, 1024, input,
                                   [&](const std::shared_ptr<audio::PcmBuffer>& buffer, const audio::AudioTime&) {
                                       std::lock_guard lock(mutex);
                                       for (int c = 0; c < 2; ++c) {
                                           const float* samples = buffer->floatChannelData()[c];
                                           channels[c].insert(channels[c].end(), samples,
                                                              samples + buffer->frameLength());
                                       }
                                       changed.notify_all();
                                   });
    ASSERT_EQ(engine->start(), std::nullopt);
    std::unique_lock lock(mutex);
    ASSERT_TRUE(changed.wait_for(lock, 10s, [&] { return channels[0].size() >= 24000; }));
    for (const auto& channel : channels) {
        EXPECT_NEAR(signalchecks::estimatedFrequency(channel, 48000), 440.0, 5.0);
    }
    lock.unlock();
    engine->inputNode().removeTap(0);
    engine->stop();
}

TEST_F(PulseEngineTest, RemoveTapWaitsForTheBlockInFlightAndEndsIt)
{
    startServer();
    auto engine = linuxaudio::makePulseEngine();
    std::mutex mutex;
    std::condition_variable changed;
    bool entered = false;
    bool returned = false;
    bool removed = false;
    int callsAfterRemoval = 0;
    engine->inputNode().installTap(0, 1024, engine->inputNode().inputFormat(0),
                                   [&](const std::shared_ptr<audio::PcmBuffer>&, const audio::AudioTime&) {
                                       std::unique_lock lock(mutex);
                                       if (removed) {
                                           ++callsAfterRemoval;
                                           return;
                                       }
                                       if (entered) {
                                           return;
                                       }
                                       entered = true;
                                       changed.notify_all();
                                       // Stay inside long enough for removeTap to meet the block.
                                       changed.wait_for(lock, 300ms, [] { return false; });
                                       returned = true;
                                   });
    ASSERT_EQ(engine->start(), std::nullopt);
    {
        std::unique_lock lock(mutex);
        ASSERT_TRUE(changed.wait_for(lock, 10s, [&] { return entered; }));
    }
    engine->inputNode().removeTap(0);
    {
        std::lock_guard lock(mutex);
        EXPECT_TRUE(returned);
        removed = true;
    }
    // Let further fragments arrive; none may reach the removed block.
    Capture later;
    engine->inputNode().installTap(0, 1024, engine->inputNode().inputFormat(0), later.block());
    ASSERT_TRUE(later.waitForFrames(4800, 10s));
    engine->stop();
    std::lock_guard lock(mutex);
    EXPECT_EQ(callsAfterRemoval, 0);
}

TEST_F(PulseEngineTest, UnreachableServerFailsStartWithTheLibrarysDescription)
{
    soundfixtures::TempDir dir;
    useServerEnvironment({"PULSE_SERVER=unix:" + dir.file("no-server"), "HOME=" + dir.path()});
    const auto before = std::chrono::steady_clock::now();
    auto engine = linuxaudio::makePulseEngine();
    EXPECT_LT(std::chrono::steady_clock::now() - before, 5s);
    EXPECT_EQ(engine->inputNode().inputFormat(0), (Format{CommonFormat::Float32, 48000, 1, false}));
    Capture capture;
    engine->inputNode().installTap(0, 1024, engine->inputNode().inputFormat(0), capture.block());
    const auto error = engine->start();
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(error->description, pa_strerror(PA_ERR_CONNECTIONREFUSED));
    EXPECT_FALSE(engine->isRunning());
    engine->inputNode().removeTap(0);
    engine->stop();
    engine->reset();
}

TEST_F(PulseEngineTest, ABlockMayEndItsOwnCapture)
{
    startServer();
    auto engine = linuxaudio::makePulseEngine();
    audio::Engine* self = engine.get();
    std::mutex mutex;
    std::condition_variable changed;
    int calls = 0;
    engine->inputNode().installTap(0, 64, engine->inputNode().inputFormat(0),
                                   [&](const std::shared_ptr<audio::PcmBuffer>&, const audio::AudioTime&) {
                                       self->inputNode().removeTap(0);
                                       self->stop();
                                       std::lock_guard lock(mutex);
                                       ++calls;
                                       changed.notify_all();
                                   });
    ASSERT_EQ(engine->start(), std::nullopt);
    std::unique_lock lock(mutex);
    ASSERT_TRUE(changed.wait_for(lock, 10s, [&] { return calls > 0; }));
    EXPECT_EQ(calls, 1);
    EXPECT_FALSE(engine->isRunning());
}

// What the failure block saw, shared with the test thread.
struct Failures {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::string> descriptions;

    audio::FailureBlock block()
    {
        return [this](const audio::Error& error) {
            std::lock_guard lock(mutex);
            descriptions.push_back(error.description);
            changed.notify_all();
        };
    }
    bool waitFor(size_t count, std::chrono::milliseconds timeout)
    {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, timeout, [&] { return descriptions.size() >= count; });
    }
};

// Capture that ends by itself is reported once, whatever ended it; stop()
// afterwards is still fine.
TEST_F(PulseEngineTest, ReportsCaptureThatEndsByItselfOnce)
{
    const struct {
        const char* what;
        bool killServer;
    } cases[] = {{"source unloaded", false}, {"server killed", true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        startServer();
        Capture capture;
        Failures failures;
        auto engine = linuxaudio::makePulseEngine();
        engine->inputNode().installTap(0, 1024, engine->inputNode().inputFormat(0), capture.block());
        engine->setFailureBlock(failures.block());
        ASSERT_EQ(engine->start(), std::nullopt);
        ASSERT_TRUE(capture.waitForFrames(4800, 10s));
        ASSERT_TRUE(c.killServer ? pulse_->kill() : pulse_->removeDefaultSource());
        ASSERT_TRUE(failures.waitFor(1, 10s));
        EXPECT_FALSE(engine->isRunning());
        EXPECT_FALSE(failures.waitFor(2, 200ms));
        engine->inputNode().removeTap(0);
        engine->stop();
    }
}

TEST_F(PulseEngineTest, StopIsNoFailure)
{
    startServer();
    Capture capture;
    Failures failures;
    auto engine = linuxaudio::makePulseEngine();
    engine->inputNode().installTap(0, 1024, engine->inputNode().inputFormat(0), capture.block());
    engine->setFailureBlock(failures.block());
    ASSERT_EQ(engine->start(), std::nullopt);
    ASSERT_TRUE(capture.waitForFrames(4800, 10s));
    engine->inputNode().removeTap(0);
    engine->stop();
    engine.reset();
    EXPECT_FALSE(failures.waitFor(1, 100ms));
}

TEST_F(PulseEngineTest, StartFailsWhenNoSourceIsLeft)
{
    startServer();
    ASSERT_TRUE(pulse_->pactl({"unload-module", "module-loopback"}));
    ASSERT_TRUE(pulse_->pactl({"unload-module", "module-null-sink"}));
    auto engine = linuxaudio::makePulseEngine();
    EXPECT_EQ(engine->inputNode().inputFormat(0), (Format{CommonFormat::Float32, 48000, 1, false}));
    const auto error = engine->start();
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(error->description, pa_strerror(PA_ERR_NOENTITY));
}

}  // namespace
