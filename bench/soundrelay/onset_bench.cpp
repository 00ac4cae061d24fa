// How much of the start of speech a push-to-talk user loses, as they feel
// it: Caps Lock is typed on a private display in the instant a sound starts
// in a private audio server, the example host records the utterance, and
// the WAV file tells how many milliseconds of the sound's beginning are not
// in it. The sound is a chirp, so every sample tells its own time since the
// onset. Run on PulseAudio and on PipeWire, without and with pre-roll, then
// standby's CPU time against parec recording the same source.
#include <pulse/error.h>
#include <pulse/simple.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <numbers>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "child_process.h"
#include "private_pipewire.h"
#include "private_pulse.h"
#include "private_xvfb.h"
#include "xtest_keyboard.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using testsupport::Child;
using testsupport::ChildOptions;
using testsupport::milliseconds;

constexpr int kUtterances = 20;
constexpr int kPreRollMs = 300;
constexpr milliseconds kHold{1500};
// Longer than the pre-roll: the next onset must find silence before it.
constexpr milliseconds kGap{700};
constexpr milliseconds kStandbyWarmUp{1200};
constexpr milliseconds kLineTimeout{5000};
constexpr milliseconds kStartTimeout{30000};
constexpr milliseconds kStopTimeout{15000};
constexpr milliseconds kCpuTime{10000};

// The sound: silence, then a sweep from 1 to 6 kHz over two seconds, far
// longer than it plays; 6 kHz passes the host's 16 kHz recording whole.
constexpr double kPlayRate = 48000;
constexpr double kWavRate = 16000;
constexpr double kSweepFromHz = 1000;
constexpr double kSweepToHz = 6000;
constexpr double kSweepSeconds = 2.0;
constexpr double kAmplitude = 0.5;
constexpr size_t kChunkFrames = 240;  // 5 ms
constexpr uint32_t kTargetBytes = 20 * 48 * sizeof(float);  // 20 ms

// Reading the file: a sample this loud is sound, not silence; the window
// that dates the sound starts past the converter's first few milliseconds.
constexpr int kSoundLevel = 800;
constexpr size_t kSkipSamples = 80;     // 5 ms
constexpr size_t kWindowSamples = 960;  // 60 ms
constexpr size_t kLatestLag = 19200;    // 1.2 s
constexpr double kLeastMatch = 0.9;

double msSince(Clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double chirpAt(double seconds)
{
    const double slope = (kSweepToHz - kSweepFromHz) / kSweepSeconds;
    const double cycles = kSweepFromHz * seconds + 0.5 * slope * seconds * seconds;
    return kAmplitude * std::sin(2 * std::numbers::pi * cycles);
}

// ---- playing the sound ------------------------------------------------------

struct SimpleFree {
    void operator()(pa_simple* stream) const { pa_simple_free(stream); }
};

// Plays into one sink from a thread of its own, paced by the server: silence
// until beginSignal(), the chirp until endSignal().
class Player {
    struct Key {
        explicit Key() = default;
    };

public:
    static std::unique_ptr<Player> open(const std::string& server, const std::string& sink, std::string& error)
    {
        const pa_sample_spec spec{PA_SAMPLE_FLOAT32LE, static_cast<uint32_t>(kPlayRate), 1};
        // A small target keeps the sound close to the key.
        const pa_buffer_attr attr{static_cast<uint32_t>(-1), kTargetBytes, static_cast<uint32_t>(-1),
                                  static_cast<uint32_t>(kChunkFrames * sizeof(float)), static_cast<uint32_t>(-1)};
        int code = 0;
        pa_simple* stream = pa_simple_new(server.c_str(), "onset bench", PA_STREAM_PLAYBACK, sink.c_str(), "onset",
                                          &spec, nullptr, &attr, &code);
        if (stream == nullptr) {
            error = std::string("cannot play into ") + sink + ": " + pa_strerror(code);
            return nullptr;
        }
        return std::make_unique<Player>(Key{}, stream);
    }

    Player(Key, pa_simple* stream) : stream_(stream), thread_([this](std::stop_token stop) { run(stop); }) {}
    Player(const Player&) = delete;
    Player& operator=(const Player&) = delete;
    ~Player()
    {
        thread_.request_stop();
        thread_.join();
    }

    // When the first sample of the chirp is due to be heard, as the stream's
    // latency tells; nothing when the stream failed.
    std::optional<Clock::time_point> beginSignal(milliseconds timeout)
    {
        std::unique_lock lock(mutex_);
        onsetHeard_.reset();
        signalWanted_ = true;
        changed_.wait_for(lock, timeout, [this] { return onsetHeard_.has_value() || failed_; });
        return onsetHeard_;
    }

    void endSignal()
    {
        const std::lock_guard lock(mutex_);
        signalWanted_ = false;
    }

    double latencyMs() const
    {
        const std::lock_guard lock(mutex_);
        return latencyMs_;
    }

private:
    // The onset falls anywhere in its chunk, as speech would, not on the
    // chunk grid the server renders in.
    void run(const std::stop_token& stop)
    {
        std::vector<float> chunk(kChunkFrames);
        std::minstd_rand random(1);
        std::uniform_int_distribution<size_t> leads(0, kChunkFrames - 1);
        uint64_t frame = 0;
        bool playing = false;
        while (!stop.stop_requested()) {
            const bool wanted = signalWanted();
            const bool starts = wanted && !playing;
            const size_t lead = starts ? leads(random) : 0;
            frame = starts ? 0 : frame;
            playing = wanted;
            for (size_t i = 0; i < chunk.size(); ++i) {
                const bool sounds = playing && i >= lead;
                chunk[i] = sounds ? static_cast<float>(chirpAt(static_cast<double>(frame++) / kPlayRate)) : 0.0f;
            }
            if (!write(chunk) || (starts && !publishOnset(lead))) {
                fail();
                return;
            }
        }
    }

    bool signalWanted()
    {
        const std::lock_guard lock(mutex_);
        return signalWanted_;
    }

    // pa_simple_write returns once all of it is in the stream's buffer.
    bool write(const std::vector<float>& chunk)
    {
        int code = 0;
        return pa_simple_write(stream_.get(), chunk.data(), chunk.size() * sizeof(float), &code) == 0;
    }

    // The latency is that of the next sample to be written: the chunk just
    // written begins one chunk earlier, its chirp `lead` frames into it.
    bool publishOnset(size_t lead)
    {
        int code = 0;
        const pa_usec_t latency = pa_simple_get_latency(stream_.get(), &code);
        if (latency == static_cast<pa_usec_t>(-1)) {
            return false;
        }
        const double untilHeardMs =
            static_cast<double>(latency) / 1000.0 - static_cast<double>(kChunkFrames - lead) * 1000.0 / kPlayRate;
        const auto untilHeard = std::chrono::microseconds(std::lround(untilHeardMs * 1000.0));
        const std::lock_guard lock(mutex_);
        onsetHeard_ = Clock::now() + untilHeard;
        latencyMs_ = untilHeardMs;
        changed_.notify_all();
        return true;
    }

    void fail()
    {
        const std::lock_guard lock(mutex_);
        failed_ = true;
        changed_.notify_all();
    }

    std::unique_ptr<pa_simple, SimpleFree> stream_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    bool signalWanted_ = false;
    bool failed_ = false;
    std::optional<Clock::time_point> onsetHeard_;
    double latencyMs_ = 0;
    std::jthread thread_;  // last: it starts once everything above exists
};

// ---- reading the file -------------------------------------------------------

// The 16-bit mono samples of a WAV file as the host writes it (a plain
// 44-byte header); empty with `error` set when it is anything else.
std::vector<int16_t> readWav(const std::string& path, std::string& error)
{
    std::ifstream file(path, std::ios::binary);
    const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    auto u16 = [&](size_t at) { return static_cast<uint32_t>(bytes[at] | bytes[at + 1] << 8); };
    auto u32 = [&](size_t at) { return u16(at) | u16(at + 2) << 16; };
    if (bytes.size() < 44 || std::string(bytes.begin(), bytes.begin() + 4) != "RIFF" ||
        std::string(bytes.begin() + 36, bytes.begin() + 40) != "data") {
        error = "not a plain WAV file: " + path;
        return {};
    }
    if (u16(22) != 1 || u32(24) != static_cast<uint32_t>(kWavRate) || u16(34) != 16) {
        error = "not 16 kHz mono 16-bit: " + path;
        return {};
    }
    std::vector<int16_t> samples(std::min<size_t>(u32(40), bytes.size() - 44) / 2);
    for (size_t i = 0; i < samples.size(); ++i) {
        samples[i] = static_cast<int16_t>(u16(44 + 2 * i));
    }
    return samples;
}

// The chirp as the file would hold it, with running sums of its energy.
struct Reference {
    std::vector<double> samples;
    std::vector<double> energyBefore;  // sum of squares of samples[0, i)

    Reference() : samples(kLatestLag + kWindowSamples + 1), energyBefore(samples.size() + 1)
    {
        for (size_t i = 0; i < samples.size(); ++i) {
            samples[i] = chirpAt(static_cast<double>(i) / kWavRate) * 32767.0;
            energyBefore[i + 1] = energyBefore[i] + samples[i] * samples[i];
        }
    }
};

struct Match {
    double lag = 0;  // samples of the chirp before the window's first sample
    double score = 0;
};

// Where in the chirp the window lies: the lag of the best normalised
// correlation, refined between samples by a parabola. A chirp matches
// itself at one lag only, whatever the gain on the way.
Match locate(const std::vector<int16_t>& samples, size_t at, const Reference& ref)
{
    double windowEnergy = 0;
    for (size_t j = 0; j < kWindowSamples; ++j) {
        windowEnergy += static_cast<double>(samples[at + j]) * samples[at + j];
    }
    std::vector<double> scores(kLatestLag + 1);
    for (size_t lag = 0; lag <= kLatestLag; ++lag) {
        double dot = 0;
        for (size_t j = 0; j < kWindowSamples; ++j) {
            dot += samples[at + j] * ref.samples[lag + j];
        }
        const double refEnergy = ref.energyBefore[lag + kWindowSamples] - ref.energyBefore[lag];
        scores[lag] = dot / std::sqrt(windowEnergy * refEnergy + 1e-9);
    }
    const auto best = static_cast<size_t>(std::max_element(scores.begin(), scores.end()) - scores.begin());
    Match match{static_cast<double>(best), scores[best]};
    if (best > 0 && best < kLatestLag) {
        const double left = scores[best - 1];
        const double right = scores[best + 1];
        const double curve = left - 2 * scores[best] + right;
        match.lag += curve < 0 ? 0.5 * (left - right) / curve : 0.0;
    }
    return match;
}

struct Onset {
    double missingMs = 0;
    double positionMs = 0;  // where the onset lies in the file; negative: before its start
    double match = 0;       // how well the file's sound matched the chirp, at most 1
};

// The first sound in the file is dated by the chirp; if it starts later
// than the chirp's own onset would lie, what lies between is missing.
std::optional<Onset> findOnset(const std::vector<int16_t>& samples, const Reference& ref, std::string& error)
{
    const auto loud = std::find_if(samples.begin(), samples.end(), [](int16_t s) { return std::abs(s) >= kSoundLevel; });
    auto first = static_cast<size_t>(loud - samples.begin());
    // The converter fades the first samples of a recording in.
    first = first <= kSkipSamples / 2 ? 0 : first;
    if (first + kSkipSamples + kWindowSamples > samples.size()) {
        error = "too little sound in the file (" + std::to_string(samples.size()) + " samples)";
        return std::nullopt;
    }
    const size_t at = first + kSkipSamples;
    const Match match = locate(samples, at, ref);
    if (match.score < kLeastMatch) {
        error = "the sound in the file is not the chirp (best match " + std::to_string(match.score) + ")";
        return std::nullopt;
    }
    Onset onset;
    onset.match = match.score;
    onset.positionMs = (static_cast<double>(at) - match.lag) * 1000.0 / kWavRate;
    onset.missingMs = std::max(0.0, static_cast<double>(first) * 1000.0 / kWavRate - onset.positionMs);
    return onset;
}

// ---- audio servers ----------------------------------------------------------

struct AudioServer {
    std::string name;
    std::string address;           // for libpulse
    std::vector<std::string> env;  // for the host and the recorders
    std::string sink;              // its monitor is the default source
};

// PulseAudio's tone is replaced by a silent null sink of the same name.
std::optional<AudioServer> pulseServer(const testsupport::PrivatePulse& pulse, std::string& error)
{
    if (!pulse.removeDefaultSource() ||
        !pulse.pactl({"load-module", "module-null-sink", "sink_name=tone", "format=float32le", "rate=48000",
                      "channels=1"}) ||
        !pulse.pactl({"set-default-source", "tone.monitor"})) {
        error = "cannot replace the tone by a silent sink";
        return std::nullopt;
    }
    return AudioServer{"PulseAudio", pulse.serverAddress(), pulse.clientEnvironment(), "tone"};
}

// ---- the example host -------------------------------------------------------

class Host {
public:
    static std::optional<Host> start(const std::vector<std::string>& args, const AudioServer& server,
                                     const testsupport::PrivateXvfb& display, std::string& error)
    {
        ChildOptions options;
        options.argv = {HOST_BINARY};
        options.argv.insert(options.argv.end(), args.begin(), args.end());
        options.extraEnv = server.env;
        options.extraEnv.push_back(display.displayEnv());
        options.removeEnv = testsupport::PrivatePulse::foreignEnvironment();
        options.removeEnv.emplace_back("PTT_HELPERS_DIR");
        auto child = Child::spawn(options, &error);
        if (!child) {
            return std::nullopt;
        }
        Host host(std::move(*child));
        if (!host.waitFor("ready:", kStartTimeout)) {
            error = "the host did not get ready:\n" + host.transcript_;
            return std::nullopt;
        }
        return host;
    }

    Host(Host&& other) noexcept : child_(std::move(other.child_)), transcript_(std::move(other.transcript_))
    {
        other.child_.reset();
    }
    Host& operator=(Host&&) = delete;
    ~Host() { stop(); }

    // The next line containing `text`; nothing at the timeout or the end.
    std::optional<std::string> waitFor(const std::string& text, milliseconds timeout)
    {
        const auto deadline = Clock::now() + timeout;
        while (auto line = nextLine(deadline)) {
            if (line->find(text) != std::string::npos) {
                return line;
            }
        }
        return std::nullopt;
    }

    // The next line about utterance `number` that holds one of `words`.
    std::optional<std::string> utteranceLine(int number, const std::vector<std::string>& words, milliseconds timeout)
    {
        const std::string prefix = "utterance " + std::to_string(number) + ": ";
        const auto deadline = Clock::now() + timeout;
        while (auto line = nextLine(deadline)) {
            const bool wanted = std::any_of(words.begin(), words.end(),
                                            [&](const std::string& word) { return line->find(word) != std::string::npos; });
            if (line->rfind(prefix, 0) == 0 && wanted) {
                return line;
            }
        }
        return std::nullopt;
    }

    const std::string& transcript() const { return transcript_; }

    // SIGTERM, as a user's Ctrl-C: the host stops its helpers itself.
    void stop()
    {
        if (!child_) {
            return;
        }
        child_->sendSignal(SIGTERM);
        waitFor("bye:", kStopTimeout);
        child_->waitExit(kStopTimeout);
        child_.reset();
    }

private:
    explicit Host(Child child) : child_(std::move(child)) {}

    std::optional<std::string> nextLine(Clock::time_point deadline)
    {
        const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now());
        auto line = child_->readLine(std::max(left, milliseconds(0)));
        if (line) {
            transcript_ += "  " + *line + "\n";
        }
        return line;
    }

    std::optional<Child> child_;
    std::string transcript_;
};

// ---- one utterance ----------------------------------------------------------

struct Utterance {
    Onset onset;
    double keyToLineMs = 0;  // the key to the host's "recording from" line
    double latencyMs = 0;    // the playback latency the key was typed after
};

struct Rig {
    testsupport::XtestKeyboard& keys;
    Player& player;
    const Reference& ref;
};

// One Caps Lock press; the time it was sent at.
std::optional<Clock::time_point> typeCaps(testsupport::XtestKeyboard& keys)
{
    const auto at = Clock::now();
    if (!keys.tap(testsupport::xkey::kCapsLock) || !keys.sync()) {
        return std::nullopt;
    }
    return at;
}

// The file a "utterance N: FILE, S s" line names.
std::optional<std::string> writtenFile(const std::string& line)
{
    const auto colon = line.find(": ");
    const auto comma = line.rfind(".wav, ");
    if (colon == std::string::npos || comma == std::string::npos || comma < colon) {
        return std::nullopt;
    }
    return line.substr(colon + 2, comma + 4 - colon - 2);
}

// What ends an utterance in the host's report.
const std::vector<std::string> kEndWords = {".wav, ", "nothing recorded", "is incomplete"};

// The sound in the file an utterance ended with.
std::optional<Onset> dateFile(const std::optional<std::string>& ended, const Reference& ref, std::string& error)
{
    const auto file = ended ? writtenFile(*ended) : std::nullopt;
    if (!file) {
        error = "no file: " + ended.value_or("no end of the utterance reported");
        return std::nullopt;
    }
    const auto samples = readWav(*file, error);
    if (samples.empty()) {
        return std::nullopt;
    }
    return findOnset(samples, ref, error);
}

// Push-to-talk goes down as the chirp is heard, stays down for kHold and
// goes up; the host's file is then dated.
std::optional<Utterance> recordOne(Rig& rig, Host& host, int number, std::string& error)
{
    const auto heard = rig.player.beginSignal(milliseconds(2000));
    if (!heard) {
        error = "the playback stream failed";
        return std::nullopt;
    }
    std::this_thread::sleep_until(*heard);
    const auto down = typeCaps(rig.keys);
    Utterance result;
    result.latencyMs = rig.player.latencyMs();
    std::vector<std::string> words = kEndWords;
    words.emplace_back("recording from");
    const auto started = down ? host.utteranceLine(number, words, kLineTimeout) : std::nullopt;
    const bool recording = started && started->find("recording from") != std::string::npos;
    result.keyToLineMs = recording ? msSince(*down) : 0.0;
    std::this_thread::sleep_until(down.value_or(Clock::now()) + kHold);
    const auto up = typeCaps(rig.keys);
    rig.player.endSignal();
    if (!down || !up) {
        error = "XTEST typing failed";
        return std::nullopt;
    }
    const auto ended = recording ? host.utteranceLine(number, kEndWords, kLineTimeout) : started;
    const auto onset = dateFile(ended, rig.ref, error);
    if (!onset) {
        return std::nullopt;
    }
    result.onset = *onset;
    return result;
}

// ---- figures ----------------------------------------------------------------

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values.empty() ? 0.0 : values[values.size() / 2];
}

double worst(const std::vector<double>& values)
{
    return values.empty() ? 0.0 : *std::max_element(values.begin(), values.end());
}

double least(const std::vector<double>& values)
{
    return values.empty() ? 0.0 : *std::min_element(values.begin(), values.end());
}

template <typename Field>
std::vector<double> column(const std::vector<Utterance>& runs, Field field)
{
    std::vector<double> values;
    for (const Utterance& run : runs) {
        values.push_back(field(run));
    }
    return values;
}

void printRun(const std::string& label, const std::vector<Utterance>& runs, int preRollMs)
{
    if (runs.empty()) {
        std::printf("%s: no utterance could be dated\n", label.c_str());
        return;
    }
    const auto missing = column(runs, [](const Utterance& u) { return u.onset.missingMs; });
    const auto keyToLine = column(runs, [](const Utterance& u) { return u.keyToLineMs; });
    const auto latency = column(runs, [](const Utterance& u) { return u.latencyMs; });
    const auto match = column(runs, [](const Utterance& u) { return u.onset.match; });
    std::printf("%s: missing median %.1f ms, worst %.1f ms (%zu utterances)\n", label.c_str(), median(missing),
                worst(missing), runs.size());
    std::printf("  each:");
    for (double value : missing) {
        std::printf(" %.1f", value);
    }
    std::printf("\n  key -> host's \"recording from\" line: median %.1f ms, worst %.1f ms; playback latency "
                "waited for before the key: median %.1f ms; poorest chirp match %.4f\n",
                median(keyToLine), worst(keyToLine), median(latency), least(match));
    if (preRollMs <= 0) {
        return;
    }
    const auto position = column(runs, [](const Utterance& u) { return u.onset.positionMs; });
    const auto implied = column(runs, [&](const Utterance& u) { return preRollMs - u.onset.positionMs; });
    std::printf("  onset in the file at median %.1f ms (%.1f .. %.1f); %d ms less that, key -> start as the file "
                "places it: median %.1f ms (%.1f .. %.1f)\n",
                median(position), least(position), worst(position), preRollMs, median(implied), least(implied),
                worst(implied));
}

// Silence long enough for what standby holds to be silence again; the
// first utterance also waits for standby to fill.
void runUtterances(Rig& rig, Host& host, const std::string& label, int count, int preRollMs)
{
    std::vector<Utterance> runs;
    int failures = 0;
    std::this_thread::sleep_for(kStandbyWarmUp);
    for (int number = 1; number <= count; ++number) {
        std::string error;
        if (auto run = recordOne(rig, host, number, error)) {
            runs.push_back(*run);
        } else {
            ++failures;
            std::printf("%s: utterance %d: %s\n", label.c_str(), number, error.c_str());
        }
        std::this_thread::sleep_for(kGap);
    }
    printRun(label, runs, preRollMs);
    if (failures > 0) {
        std::printf("  %d utterance(s) failed\n", failures);
    }
}

// ---- CPU in standby ---------------------------------------------------------

// User plus system CPU seconds of a process, from /proc.
double cpuSecondsOf(pid_t pid)
{
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    const std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const auto paren = text.rfind(')');
    if (paren == std::string::npos) {
        return 0;
    }
    std::istringstream fields(text.substr(paren + 2));
    std::string field;
    unsigned long long ticks = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        ticks += (i == 14 || i == 15) ? std::stoull(field) : 0;
    }
    return static_cast<double>(ticks) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

// CPU seconds a running process takes over kCpuTime.
double cpuOver(pid_t pid)
{
    const double before = cpuSecondsOf(pid);
    std::this_thread::sleep_for(kCpuTime);
    return cpuSecondsOf(pid) - before;
}

std::optional<double> standbyCpu(const AudioServer& server, std::string& error)
{
    ChildOptions options;
    options.argv = {SOUNDRELAY_BINARY};
    options.extraEnv = server.env;
    options.removeEnv = testsupport::PrivatePulse::foreignEnvironment();
    options.pipeFd3 = true;
    auto child = Child::spawn(options, &error);
    if (!child) {
        return std::nullopt;
    }
    child->writeStdin("{\"command\":\"standby\",\"seconds\":1}\n");
    const auto answer = child->readLine(kLineTimeout);
    if (!answer || answer->find("standby_started") == std::string::npos) {
        error = "no standby_started: " + answer.value_or("(nothing)");
        return std::nullopt;
    }
    const double cpu = cpuOver(child->pid());
    child->closeStdin();
    child->waitExit(kLineTimeout);
    return cpu;
}

// parec as a recorder of the same fragment size, from its first bytes on.
std::optional<double> parecCpu(const AudioServer& server, std::string& error)
{
    ChildOptions options;
    options.argv = {testsupport::findProgram("parec"), "--raw", "--format=float32le", "--rate=48000",
                    "--channels=1", "--latency-msec=20", "/dev/fd/3"};
    options.extraEnv = server.env;
    options.removeEnv = testsupport::PrivatePulse::foreignEnvironment();
    options.pipeStdin = false;
    options.pipeFd3 = true;
    auto child = Child::spawn(options, &error);
    if (!child) {
        return std::nullopt;
    }
    std::vector<uint8_t> audio;
    if (child->readFd3(audio, 1, kLineTimeout) == 0) {
        error = "parec recorded nothing";
        return std::nullopt;
    }
    const double before = cpuSecondsOf(child->pid());
    child->collectFd3For(audio, kCpuTime);
    const double cpu = cpuSecondsOf(child->pid()) - before;
    child->sendSignal(SIGINT);
    child->waitExit(kLineTimeout);
    return cpu;
}

void printCpu(const AudioServer& server)
{
    std::string error;
    const double seconds = std::chrono::duration<double>(kCpuTime).count();
    const auto standby = standbyCpu(server, error);
    const auto parec = parecCpu(server, error);
    if (!standby || !parec) {
        std::printf("%s CPU: %s\n", server.name.c_str(), error.c_str());
        return;
    }
    std::printf("%s CPU over %.0f s: soundrelay in standby %.3f s (%.2f%% of a core), parec --latency-msec=20 "
                "%.3f s (%.2f%%)\n",
                server.name.c_str(), seconds, *standby, 100.0 * *standby / seconds, *parec,
                100.0 * *parec / seconds);
}

// ---- one server -------------------------------------------------------------

struct Setup {
    testsupport::PrivateXvfb& display;
    testsupport::XtestKeyboard& keys;
    const Reference& ref;
    int utterances = kUtterances;
};

// Push-to-talk must start from Caps Lock off, whatever an earlier run left.
bool capsOff(testsupport::XtestKeyboard& keys)
{
    const auto locked = keys.capsLocked();
    return locked && (!*locked || typeCaps(keys));
}

void measureMode(Setup& setup, Player& player, const AudioServer& server, int preRollMs)
{
    const std::string label = server.name + (preRollMs > 0 ? ", --pre-roll " + std::to_string(preRollMs)
                                                          : std::string(", no pre-roll"));
    std::string out = (fs::temp_directory_path() / "onset-out-XXXXXX").string();
    if (::mkdtemp(out.data()) == nullptr || !capsOff(setup.keys)) {
        std::printf("%s: cannot prepare (output directory or Caps Lock)\n", label.c_str());
        return;
    }
    std::vector<std::string> args = {"--out", out};
    if (preRollMs > 0) {
        args.insert(args.end(), {"--pre-roll", std::to_string(preRollMs)});
    }
    std::string error;
    if (auto host = Host::start(args, server, setup.display, error)) {
        Rig rig{setup.keys, player, setup.ref};
        runUtterances(rig, *host, label, setup.utterances, preRollMs);
    } else {
        std::printf("%s: %s\n", label.c_str(), error.c_str());
    }
    std::error_code ignored;
    fs::remove_all(out, ignored);
}

void measureServer(Setup& setup, const AudioServer& server)
{
    std::string error;
    {
        auto player = Player::open(server.address, server.sink, error);
        if (!player) {
            std::printf("%s: %s\n", server.name.c_str(), error.c_str());
            return;
        }
        measureMode(setup, *player, server, 0);
        measureMode(setup, *player, server, kPreRollMs);
    }
    printCpu(server);
}

int utteranceCount(int argc, char** argv)
{
    int count = kUtterances;
    if (argc > 1) {
        const std::string_view text = argv[1];
        std::from_chars(text.data(), text.data() + text.size(), count);
    }
    return std::clamp(count, 1, 1000);
}

}  // namespace

int main(int argc, char** argv)
{
    std::string error;
    auto display = testsupport::PrivateXvfb::start(&error);
    if (!display) {
        std::printf("onset: no private Xvfb: %s\n", error.c_str());
        return 1;
    }
    auto keys = testsupport::XtestKeyboard::connect(display->name());
    if (!keys) {
        std::printf("onset: no XTEST on %s\n", display->name().c_str());
        return 1;
    }
    const Reference ref;
    Setup setup{*display, *keys, ref, utteranceCount(argc, argv)};
    std::printf("onset: Caps Lock typed as a chirp is heard, %lld ms held, %d utterances per run\n",
                static_cast<long long>(kHold.count()), setup.utterances);

    if (auto pulse = testsupport::PrivatePulse::start({}, &error)) {
        if (const auto server = pulseServer(*pulse, error)) {
            measureServer(setup, *server);
        } else {
            std::printf("PulseAudio: %s\n", error.c_str());
        }
    } else {
        std::printf("PulseAudio: could not be started: %s\n", error.c_str());
    }

    if (auto pipewire = testsupport::PrivatePipewire::start(&error)) {
        measureServer(setup, AudioServer{"PipeWire", pipewire->serverAddress(), pipewire->clientEnvironment(), "tone"});
    } else {
        std::printf("PipeWire: could not be started (%s); PulseAudio figures only\n", error.c_str());
    }
    return 0;
}
