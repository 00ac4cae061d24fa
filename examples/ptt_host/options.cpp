#include "options.h"

#include <charconv>
#include <string_view>

namespace ptthost {

std::optional<Options> parseOptions(int argc, char** argv, std::string& error)
{
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string_view name = argv[i];
        if (name == "--help" || name == "-h") {
            options.help = true;
            continue;
        }
        if (i + 1 >= argc) {
            error = name.starts_with("--") ? std::string(name) + " needs a value" : "unknown option " + std::string(name);
            return std::nullopt;
        }
        const std::string value = argv[++i];
        if (name == "--out") {
            options.outputDir = value;
        } else if (name == "--helpers") {
            options.helpersDir = value;
        } else if (name == "--fixture") {
            options.fixturePath = value;
        } else if (name == "--utterances") {
            const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), options.utterances);
            if (ec != std::errc() || end != value.data() + value.size() || options.utterances < 0) {
                error = "--utterances takes a count, not " + value;
                return std::nullopt;
            }
        } else {
            error = "unknown option " + std::string(name);
            return std::nullopt;
        }
    }
    if (options.outputDir.empty()) {
        error = "--out needs a directory";
        return std::nullopt;
    }
    return options;
}

std::string usage(const std::string& program)
{
    return "Usage: " + program + R"( [--out DIR] [--helpers DIR] [--fixture FILE] [--utterances N]

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
  -h, --help        this text

Push-to-talk follows keywatch's cd and cu lines: one press of Caps Lock
puts it down, the next press lifts it (as the Caps Lock light goes on and
off). SIGINT or SIGTERM ends the utterance being recorded and stops both
helpers. Exit status: 0 after a clean stop, 1 when a helper could not be
started or kept running, 2 for a wrong command line.
)";
}

}  // namespace ptthost
