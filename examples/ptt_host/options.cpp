#include "options.h"

#include <charconv>

namespace ptthost {

namespace {

bool parseCount(const std::string& text, int& count)
{
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), count);
    return ec == std::errc() && end == text.data() + text.size() && count >= 0;
}

// soundrelay holds at most ten seconds.
constexpr int kLongestPreRollMs = 10000;

}  // namespace

std::optional<Options> parseOptions(int argc, char** argv, std::string& error)
{
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string name = argv[i];
        if (name == "--help" || name == "-h") {
            options.help = true;
            continue;
        }
        std::string* text = name == "--out"       ? &options.outputDir
                            : name == "--helpers" ? &options.helpersDir
                            : name == "--fixture" ? &options.fixturePath
                                                  : nullptr;
        const bool isCount = name == "--utterances" || name == "--pre-roll";
        if (text == nullptr && !isCount) {
            error = "unknown option " + name;
            return std::nullopt;
        }
        if (i + 1 >= argc || argv[i + 1][0] == '\0') {
            error = name + " needs a value";
            return std::nullopt;
        }
        const std::string value = argv[++i];
        if (text != nullptr) {
            *text = value;
        } else if (name == "--utterances" && !parseCount(value, options.utterances)) {
            error = "--utterances takes a count, not " + value;
            return std::nullopt;
        } else if (name == "--pre-roll" &&
                   (!parseCount(value, options.preRollMs) || options.preRollMs > kLongestPreRollMs)) {
            error = "--pre-roll takes milliseconds from 0 to 10000, not " + value;
            return std::nullopt;
        }
    }
    return options;
}

std::string usage(const std::string& program)
{
    return "Usage: " + program + R"( [--out DIR] [--helpers DIR] [--fixture FILE] [--utterances N]
       [--pre-roll MS]

Starts keywatch and soundrelay, records while Caps Lock push-to-talk is
down, and writes each utterance as a 16 kHz mono 16-bit WAV file.

  --out DIR         where the WAV files go, made if missing (default:
                    utterances); names that exist are not reused
  --helpers DIR     where keywatch and soundrelay are. Default: the
                    directory in $PTT_HELPERS_DIR if set, else the first
                    that holds both of: this program's own directory (a
                    build's bin/), <prefix>/libexec/pushtalk_helpers for
                    this program in <prefix>/bin, and
                    /usr/libexec/pushtalk_helpers (the package)
  --fixture FILE    record FILE in place of the microphone; it must be a
                    16 kHz mono audio file
  --utterances N    exit after N utterances (default: run until stopped)
  --pre-roll MS     put soundrelay in standby and begin each utterance MS
                    milliseconds (0 to 10000) before the press, so that
                    nothing said as the key goes down is lost. Standby keeps
                    the microphone open for as long as this program runs.
                    Default: off, the microphone is open only while
                    push-to-talk is down
  -h, --help        this text

Push-to-talk follows keywatch's cd and cu lines: one press of Caps Lock
puts it down, the next press lifts it (as the Caps Lock light goes on and
off). SIGINT or SIGTERM ends the utterance being recorded and stops both
helpers. Exit status: 0 after a clean stop, 1 when a helper could not be
started or kept running, 2 for a wrong command line.
)";
}

}  // namespace ptthost
