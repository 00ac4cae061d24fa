// keywatch's stdin commands: line assembly under any cutting of the input
// into reads, the rule that a line of 511 bytes or more is dropped whole,
// and the command search with its "kc" key code. The keys posted on the
// simulated keyboard, the Caps watch and the reset request must be what a
// small independent reading of the input predicts; in particular a "kc"
// value that is not a key code must post nothing.
//
// Input: the body and its read sizes (fuzz_support.h). The body is fed
// once through takeInput, read by read, and once through the reader loop
// over a pipe.
#include "fuzz_support.h"
#include "key_state.h"
#include "lifecycle.h"
#include "sim_backend.h"
#include "stdin_reader.h"

#include <unistd.h>

#include <csignal>
#include <memory>
#include <optional>
#include <string>

namespace {

using fuzz::require;

constexpr size_t kLongestLine = 510;  // bytes before the LF that still count
constexpr size_t kPipeCapacity = 65536;

struct Effects {
    std::vector<CGKeyCode> pressed;
    bool watch = false;
    bool reset = false;
};

std::shared_ptr<sim::Keyboard> keyboard;

// A well-formed "kc" value: blanks, an optional sign, decimal digits, and a
// value from 0 to 65535. What follows the digits does not matter.
std::optional<CGKeyCode> keyCodeValue(std::string_view text)
{
    size_t at = 0;
    const bool negative = fuzz::skipBlanksAndSign(text, at);
    if (at == text.size() || text[at] < '0' || text[at] > '9') {
        return std::nullopt;
    }
    uint32_t value = 0;
    for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at) {
        value = value * 10 + static_cast<uint32_t>(text[at] - '0');
        if (value > 0xFFFF) {
            return std::nullopt;
        }
    }
    if (negative && value != 0) {
        return std::nullopt;
    }
    return static_cast<CGKeyCode>(value);
}

// One line as the command table reads it: the first command found decides.
void applyLine(std::string_view line, Effects& effects)
{
    // The reader hands lines on as C strings.
    line = line.substr(0, line.find('\0'));
    if (line.find(R"("c":"watch-caps")") != std::string_view::npos) {
        effects.watch = true;
    } else if (line.find(R"("c":"unwatch-caps")") != std::string_view::npos) {
        effects.watch = false;
    } else if (line.find(R"("c":"reset")") != std::string_view::npos) {
        effects.reset = true;
    } else if (const size_t kc = line.find(R"("kc":)"); kc != std::string_view::npos) {
        if (const auto code = keyCodeValue(line.substr(kc + 5))) {
            effects.pressed.push_back(*code);
        }
    }
}

// Lines end at LF; a longer line and the unfinished last one are dropped.
Effects expectedEffects(std::string_view input)
{
    Effects effects;
    for (size_t at = 0;;) {
        const size_t lf = input.find('\n', at);
        if (lf == std::string_view::npos) {
            return effects;
        }
        if (lf - at <= kLongestLine) {
            applyLine(input.substr(at, lf - at), effects);
        }
        at = lf + 1;
    }
}

void clearEffects()
{
    keyboard->clearPosted();
    watchPhysicalCapsOnce.store(false);
    gResetRequested.store(0);
    gParentEofDetected.store(0);
}

void checkEffects(const Effects& expected, const char* path)
{
    const std::vector<standin::PostedEvent> posted = keyboard->posted();
    if (posted.size() != 2 * expected.pressed.size()) {
        std::fprintf(stderr, "%s: %zu events posted, %zu expected\n", path, posted.size(),
                     2 * expected.pressed.size());
        fuzz::fail("each well-formed kc presses and releases one key, nothing else posts");
    }
    for (size_t i = 0; i < expected.pressed.size(); ++i) {
        const standin::PostedEvent& down = posted[2 * i];
        const standin::PostedEvent& up = posted[2 * i + 1];
        require(down.type == kCGEventKeyDown && up.type == kCGEventKeyUp, "a press is a down, then an up");
        require(down.keyCode == expected.pressed[i] && up.keyCode == expected.pressed[i], "the key of the kc value");
        require(down.flags == 0 && up.flags == 0 && down.location == kCGHIDEventTap && up.location == kCGHIDEventTap,
                "injected keys carry no flags and enter at the HID level");
    }
    require(watchPhysicalCapsOnce.load() == expected.watch, "the last watch command decides the Caps watch");
    require((gResetRequested.load() != 0) == expected.reset, "a reset command requests a reset");
}

// The body as reads would bring it: never more than the buffer's room.
void feedInReads(const fuzz::Chunked& chunks)
{
    LineBuffer lines;
    size_t at = 0;
    for (size_t n = 0; at < chunks.body.size(); ++n) {
        const size_t room = sizeof lines.bytes - 1 - lines.pending;
        require(room > 0 && lines.pending < sizeof lines.bytes - 1, "the line buffer always has room");
        const size_t count = std::min({chunks.size(n), room, chunks.body.size() - at});
        takeInput(lines, chunks.body.data() + at, count);
        at += count;
    }
}

void readThroughPipe(std::string_view body)
{
    int ends[2];
    require(::pipe(ends) == 0, "a pipe");
    const bool written = ::write(ends[1], body.data(), body.size()) == static_cast<ssize_t>(body.size());
    ::close(ends[1]);
    require(written, "the pipe takes the whole body");
    const ReaderEnd end = readCommands(ends[0], -1, -1);
    ::close(ends[0]);
    require(end == ReaderEnd::inputEnded && gParentEofDetected.load() == 1, "the reader ends at end of input");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    std::signal(SIGPIPE, SIG_IGN);
    keyboard = sim::Keyboard::install();
    // No tap runs here; what is posted is only recorded.
    keyboard->setLoopback(false);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const fuzz::Chunked chunks = fuzz::splitChunked(data, size);
    const Effects expected = expectedEffects(chunks.body);

    clearEffects();
    feedInReads(chunks);
    checkEffects(expected, "reads");

    if (chunks.body.size() <= kPipeCapacity) {
        clearEffects();
        readThroughPipe(chunks.body);
        checkEffects(expected, "pipe");
    }
    return 0;
}
