// An example host for keywatch and soundrelay: records while push-to-talk
// is down and writes each utterance as a WAV file. See --help.
#include "helper_paths.h"
#include "host.h"
#include "options.h"
#include "stop_signals.h"

#include <cstdio>
#include <filesystem>

namespace {

constexpr const char* kProgram = "ptt_host_example";

int fail(const std::string& message, int status)
{
    std::fprintf(stderr, "%s: %s\n", kProgram, message.c_str());
    return status;
}

}  // namespace

int main(int argc, char** argv)
{
    using namespace ptthost;
    std::string error;
    const auto options = parseOptions(argc, argv, error);
    if (!options) {
        return fail(error + " (see --help)", 2);
    }
    if (options->help) {
        std::fputs(usage(kProgram).c_str(), stdout);
        return 0;
    }
    const auto helpers = findHelpers(options->helpersDir, error);
    if (!helpers) {
        return fail(error, 1);
    }
    if (!StopSignals::install(error)) {
        return fail(error, 1);
    }
    HostConfig config;
    config.helpers = *helpers;
    config.outputDir = options->outputDir;
    config.utterances = options->utterances;
    config.preRollMs = options->preRollMs;
    if (!options->fixturePath.empty()) {
        // soundrelay opens it, so the name must not depend on a directory.
        std::error_code ignored;
        config.fixturePath = std::filesystem::absolute(options->fixturePath, ignored).string();
    }
    Host host(config);
    if (!host.start(error)) {
        return fail(error, 1);
    }
    return host.run();
}
