// The real keywatch binary as its own process on this machine.
#include "child_process.h"

#include <gtest/gtest.h>

#include <optional>
#include <regex>

namespace {

using namespace std::chrono_literals;
using testsupport::Child;
using testsupport::ChildOptions;

struct ProcessCase {
    const char* name;
    std::vector<std::string> words;
    bool pipeStdin;
    std::string line;  // a pattern for the whole line
    int status;
};

#ifdef __APPLE__
// The system's own frameworks: Carbon is there to answer the secure-input
// probe, and whether a tap can be made depends on what this machine's user
// has allowed, so either answer of each probe is right.
const ProcessCase kProcessCases[] = {
    {"secure input probe", {"--check-sec"}, true, R"(\{"sec":(true|false),"resolved":true\})", 0},
    {"secure input probe among other words", {"65", "--map", "65:1", "--check-sec", "--check-im"}, true,
     R"(\{"sec":(true|false),"resolved":true\})", 0},
    {"tap probe", {"--check-im"}, true, R"(\{"im":[01]\})", 0},
};
#else
// Without a display there is no keyboard backend to be had.
const ProcessCase kProcessCases[] = {
    {"secure input probe", {"--check-sec"}, true, R"(\{"sec":false,"resolved":false\})", 0},
    {"secure input probe among other words", {"65", "--map", "65:1", "--check-sec", "--check-im"}, true,
     R"(\{"sec":false,"resolved":false\})", 0},
    {"tap probe", {"--check-im"}, true, R"(\{"im":1\})", 0},
    {"no backend", {}, true, R"(\{"t":"err","m":"all_taps_failed"\})", 1},
    {"no backend, no stdin", {"--debug", "65"}, false, R"(\{"t":"err","m":"all_taps_failed"\})", 1},
};
#endif

TEST(KeywatchProcess, OneLineAnExitStatusAndNothingOnStderr)
{
    for (const ProcessCase& c : kProcessCases) {
        ChildOptions options;
        options.argv.push_back(KEYWATCH_BINARY);
        options.argv.insert(options.argv.end(), c.words.begin(), c.words.end());
        options.removeEnv = {"DISPLAY", "WAYLAND_DISPLAY"};
        options.pipeStdin = c.pipeStdin;
        std::string error;
        std::optional<Child> child = Child::spawn(options, &error);
        ASSERT_TRUE(child.has_value()) << error;
        const auto line = child->readLine(5000ms);
        ASSERT_TRUE(line.has_value()) << c.name;
        EXPECT_TRUE(std::regex_match(*line, std::regex(c.line))) << c.name << ": " << *line;
        EXPECT_EQ(child->readRemainingStdout(5000ms), "") << c.name;
        EXPECT_EQ(child->waitExit(5000ms), c.status) << c.name;
        EXPECT_EQ(child->readStderr(1000ms), "") << c.name;
    }
}

}  // namespace
