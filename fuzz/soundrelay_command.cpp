// soundrelay's command path from the bytes on standard input to the events:
// UTF-8 repair, JSON decoding of a command, and the command loop that must
// answer every non-empty line with exactly one event.
//
// The input is what the host writes to standard input. Each line is checked
// on its own (repair against an independent reading, decoding against a
// round trip), then the whole input goes through a recorder on the
// simulated audio platform, whose events must be the expected answers in
// order, and then the one "recording_stopped" of the end of input.
#include "command.h"
#include "fuzz_support.h"
#include "line_reader.h"
#include "recorder_helper.h"
#include "sim/sim_platform.h"
#include "utf8.h"
#include "utf8_reference.h"

#include <nlohmann/json.hpp>
#include <sys/mman.h>
#include <unistd.h>

#include <csignal>
#include <string>
#include <variant>

namespace {

using fuzz::require;
using nlohmann::json;
using recorder::Command;
using recorder::DecodeError;

// What the loop must answer one line with.
struct Answer {
    enum Kind { pong, stopped, startOutcome, standbyOutcome, unknownCommand, decodeFailed } kind;
    std::string error;  // the exact "error" text of decodeFailed
};

// The lines the reader yields: LF ends a line and takes one CR before it
// along; a last line without LF is a line too.
std::vector<std::string_view> splitLines(std::string_view input)
{
    std::vector<std::string_view> lines;
    size_t at = 0;
    while (at < input.size()) {
        const size_t lf = input.find('\n', at);
        std::string_view line = input.substr(at, lf == std::string_view::npos ? std::string_view::npos : lf - at);
        if (lf != std::string_view::npos && !line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        lines.push_back(line);
        if (lf == std::string_view::npos) {
            break;
        }
        at = lf + 1;
    }
    return lines;
}

std::string checkedRepair(std::string_view raw)
{
    const std::string repaired = recorder::replaceInvalidUtf8(raw);
    require(fuzz::isValidUtf8(repaired), "repaired text is valid UTF-8");
    require(recorder::replaceInvalidUtf8(repaired) == repaired, "repairing repaired text changes nothing");
    require(repaired == fuzz::repairUtf8(raw), "one U+FFFD per maximal ill-formed subpart");
    require(!fuzz::isValidUtf8(raw) || repaired == raw, "valid UTF-8 is left alone");
    require(repaired.empty() == raw.empty(), "only an empty line repairs to nothing");
    return repaired;
}

bool sameCommand(const Command& a, const Command& b)
{
    return a.command == b.command && a.sampleRate == b.sampleRate && a.channels == b.channels &&
           a.reason == b.reason && a.fixturePath == b.fixturePath && a.seconds == b.seconds &&
           a.preRollMs == b.preRollMs;
}

// A decoded command written back as JSON decodes to itself.
void checkRoundTrip(const Command& command)
{
    require(fuzz::isValidUtf8(command.command), "decoded text is valid UTF-8");
    json object = {{"command", command.command}};
    if (command.sampleRate) {
        object["sampleRate"] = *command.sampleRate;
    }
    if (command.channels) {
        object["channels"] = *command.channels;
    }
    if (command.seconds) {
        object["seconds"] = *command.seconds;
    }
    if (command.preRollMs) {
        object["preRollMs"] = *command.preRollMs;
    }
    for (const auto& [key, text] : {std::pair{"reason", &command.reason}, std::pair{"fixturePath", &command.fixturePath}}) {
        if (*text) {
            require(fuzz::isValidUtf8(**text), "decoded text is valid UTF-8");
            object[key] = **text;
        }
    }
    const auto again = recorder::decodeCommand(object.dump());
    const auto* back = std::get_if<Command>(&again);
    require(back != nullptr && sameCommand(*back, command), "a decoded command survives a round trip");
}

// Decodes one repaired line and says how the loop must answer it.
Answer expectedAnswer(const std::string& line)
{
    const auto decoded = recorder::decodeCommand(line);
    // Blanks around the object are not part of the command.
    const auto padded = recorder::decodeCommand(" \t" + line + "\r\n ");
    require(decoded.index() == padded.index(), "blanks around a line change nothing");
    if (const auto* failure = std::get_if<DecodeError>(&decoded)) {
        require(!failure->description.empty(), "a decode failure has a description");
        return {Answer::decodeFailed, "decode_failed:" + failure->description};
    }
    const Command& command = std::get<Command>(decoded);
    require(sameCommand(command, std::get<Command>(padded)), "blanks around a line change nothing");
    checkRoundTrip(command);
    if (command.command == "ping") {
        return {Answer::pong, {}};
    }
    if (command.command == "stop" || command.command == "abort") {
        return {Answer::stopped, {}};
    }
    if (command.command == "start") {
        return {Answer::startOutcome, {}};
    }
    if (command.command == "standby") {
        return {Answer::standbyOutcome, {}};
    }
    return {Answer::unknownCommand, {}};
}

bool isType(const json& event, const char* type)
{
    const auto found = event.find("type");
    return found != event.end() && found->is_string() && *found == type;
}

std::string errorText(const json& event)
{
    const auto found = event.find("error");
    return isType(event, "error") && found != event.end() && found->is_string() ? found->get<std::string>()
                                                                                 : std::string();
}

void checkAnswer(const json& event, const Answer& answer)
{
    switch (answer.kind) {
    case Answer::pong:
        require(event == json({{"type", "pong"}}), "ping is answered by pong");
        return;
    case Answer::stopped:
        require(event == json({{"type", "recording_stopped"}}), "stop and abort are answered by recording_stopped");
        return;
    case Answer::startOutcome:
        require(isType(event, "recording_started") || errorText(event).starts_with("decode_failed:"),
                "start is answered by recording_started or a decode_failed error");
        return;
    case Answer::standbyOutcome:
        require(isType(event, "standby_started") || event == json({{"type", "standby_stopped"}}) ||
                    errorText(event).starts_with("decode_failed:"),
                "standby is answered by standby_started, standby_stopped or a decode_failed error");
        return;
    case Answer::unknownCommand:
        require(event == json({{"type", "error"}, {"error", "unknown_command"}}), "an unknown word is reported");
        return;
    case Answer::decodeFailed:
        require(event == json({{"type", "error"}, {"error", answer.error}}), "an undecodable line is reported");
        return;
    }
}

int makeMemoryFile(const char* name)
{
    const int fd = ::memfd_create(name, MFD_CLOEXEC);
    require(fd >= 0, "a memory file");
    return fd;
}

std::string readAll(int fd)
{
    std::string bytes;
    char chunk[4096];
    for (off_t at = 0;;) {
        const ssize_t got = ::pread(fd, chunk, sizeof chunk, at);
        if (got <= 0) {
            return bytes;
        }
        bytes.append(chunk, static_cast<size_t>(got));
        at += got;
    }
}

// Runs the command loop over `input` to its end and returns its output.
std::string runLoop(std::string_view input)
{
    static const int in = makeMemoryFile("fuzz-stdin");
    static const int out = makeMemoryFile("fuzz-stdout");
    require(::ftruncate(in, 0) == 0 && ::ftruncate(out, 0) == 0, "memory files can be emptied");
    require(::pwrite(in, input.data(), input.size(), 0) == static_cast<ssize_t>(input.size()), "input is written");
    ::lseek(in, 0, SEEK_SET);
    ::lseek(out, 0, SEEK_SET);
    sim::SimPlatform platform;
    recorder::Descriptors fds;
    fds.input = in;
    fds.output = out;
    fds.pcm = -1;  // no capture script: no sample is ever written
    {
        recorder::RecorderHelper helper(platform, fds);
        helper.runUntilEndOfInput();
    }
    return readAll(out);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    std::signal(SIGPIPE, SIG_IGN);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    std::vector<Answer> answers;
    for (std::string_view raw : splitLines(input)) {
        const std::string line = checkedRepair(raw);
        if (!line.empty()) {
            answers.push_back(expectedAnswer(line));
        }
    }
    answers.push_back({Answer::stopped, {}});

    const std::string output = runLoop(input);
    require(output.empty() || output.back() == '\n', "every event line is whole");
    const std::vector<std::string_view> lines = splitLines(output);
    require(lines.size() == answers.size(), "exactly one answer per non-empty line, and one at the end");
    for (size_t i = 0; i < lines.size(); ++i) {
        const json event = json::parse(lines[i], nullptr, false);
        require(!event.is_discarded() && event.is_object(), "every event is a JSON object");
        checkAnswer(event, answers[i]);
    }
    return 0;
}
