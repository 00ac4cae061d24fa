// The command line: the probe scan, the options, the watched keys and the
// direct map with its cycles dropped.
#include "keywatch_fixture.h"

#include "options.h"

#include <map>

namespace kwtest {
namespace {

TEST(KeywatchOptions, ProbeScanReadsEveryWord)
{
    const std::pair<std::vector<std::string>, Probe> cases[] = {
        {{}, Probe::none},
        {{"--check-im"}, Probe::listenAccess},
        {{"--check-sec", "--check-im"}, Probe::secureInput},
        {{"12", "--map", "1:2", "--check-im"}, Probe::listenAccess},
        {{"--remap", "--check-im"}, Probe::listenAccess},
        {{"--check-IM", "check-sec", "--check-sec="}, Probe::none},
    };
    for (const auto& [words, probe] : cases) {
        Words command(words);
        EXPECT_EQ(findProbe(command.argc(), command.argv()), probe) << command.argc();
    }
}

struct OptionCase {
    const char* name;
    std::vector<std::string> words;
    std::vector<int32_t> watched;
    std::map<int32_t, int32_t> mapped;
    int32_t remap;
    bool debug;
};

const OptionCase kOptionCases[] = {
    {"nothing", {}, {}, {}, -1, false},
    {"watched and mapped", {"65", "--map", "65:12", "66"}, {65}, {{65, 12}}, -1, false},
    {"malformed pairs", {"--map", "300:5", "-1:5", "65:-1", "66:12xyz", "67", ":4", "68:"}, {}, {{66, 12}}, -1, false},
    // Numbers beyond int are no key and no key code; wrapped, they would
    // map key 65 to 12.
    {"pairs with numbers beyond int", {"--map", "4294967361:12", "65:4294967308", "66:-4294967308", " 67: 5"},
     {}, {{67, 5}}, -1, false},
    {"later pair replaces", {"--map", "65:1", "65:2", "70:3", "70:-4"}, {}, {{65, 2}}, -1, false},
    {"watched words as atoi reads them", {" 65", "+66", "-3", "x", "67abc"}, {65, 66, -3, 0, 67}, {}, -1, false},
    {"remap decimal", {"--remap", "60"}, {}, {}, 60, false},
    {"remap hex", {"--remap", "0x3C"}, {}, {}, 60, false},
    {"remap octal", {"--remap", "074"}, {}, {}, 60, false},
    {"remap not a number", {"--remap", "abc"}, {}, {}, 0, false},
    {"remap takes the next word", {"--remap", "--debug"}, {}, {}, 0, false},
    {"remap missing", {"1", "--remap"}, {1}, {}, -1, false},
    {"remap missing in map mode", {"--map", "1:2", "--remap"}, {}, {{1, 2}}, -1, false},
    {"remap truncated to 32 bits", {"--remap", "0x100000005"}, {}, {}, 5, false},
    {"debug anywhere", {"--map", "--debug", "1:2"}, {}, {{1, 2}}, -1, true},
};

TEST(KeywatchOptions, WordsAndWhatTheySet)
{
    for (const OptionCase& c : kOptionCases) {
        resetOptionGlobals();
        Words command(c.words);
        parseOptions(command.argc(), command.argv());
        EXPECT_EQ(std::vector<int32_t>(activeVKs, activeVKs + activeVKCount), c.watched) << c.name;
        std::map<int32_t, int32_t> mapped;
        for (int32_t vk = 0; vk < kDirectMapSize; ++vk) {
            if (directMap[vk] != -1)
                mapped[vk] = directMap[vk];
        }
        EXPECT_EQ(mapped, c.mapped) << c.name;
        EXPECT_EQ(remapKeycode, c.remap) << c.name;
        EXPECT_EQ(debugMode, c.debug) << c.name;
    }
}

TEST(KeywatchOptions, AtMostTwoHundredFiftySixWatchedKeys)
{
    std::vector<std::string> words;
    for (int i = 0; i < 300; ++i)
        words.push_back(std::to_string(i + 1));
    words.push_back("--map");
    words.push_back("255:1");
    resetOptionGlobals();
    Words command(words);
    parseOptions(command.argc(), command.argv());
    ASSERT_EQ(activeVKCount, 256);
    EXPECT_EQ(activeVKs[0], 1);
    EXPECT_EQ(activeVKs[255], 256);
    EXPECT_EQ(directMap[255], 1);
}

struct CycleCase {
    const char* name;
    std::vector<std::string> words;
    std::map<int32_t, int32_t> kept;
};

// Key codes: 0 is A (65), 11 is B (66), 8 is C (67), 12 is Q (81).
const CycleCase kCycleCases[] = {
    {"key mapped to itself", {"65", "--map", "65:0"}, {}},
    {"key mapped to itself through the low 16 bits", {"65", "--map", "65:65536"}, {}},
    {"two keys in a ring", {"65", "66", "--map", "65:11", "66:0"}, {}},
    {"three keys in a ring and a chain into it",
     {"65", "66", "67", "81", "--map", "65:11", "66:8", "67:0", "81:0"},
     {{81, 0}}},
    {"chain that ends at a watched key", {"65", "66", "--map", "65:11"}, {{65, 11}}},
    {"ring through a key that is not watched is no ring", {"65", "--map", "65:11", "66:0"}, {{65, 11}, {66, 0}}},
    {"unwatched key mapped to itself has no effect and stays", {"--map", "65:0"}, {{65, 0}}},
    {"key without a code ends the chain", {"65", "--map", "65:57"}, {{65, 57}}},
};

TEST(KeywatchOptions, DirectMapCyclesAreDroppedChainsKept)
{
    for (const CycleCase& c : kCycleCases) {
        resetOptionGlobals();
        Words command(c.words);
        parseOptions(command.argc(), command.argv());
        dropDirectMapCycles();
        std::map<int32_t, int32_t> kept;
        for (int32_t vk = 0; vk < kDirectMapSize; ++vk) {
            if (directMap[vk] != -1)
                kept[vk] = directMap[vk];
        }
        EXPECT_EQ(kept, c.kept) << c.name;
    }
}

}  // namespace
}  // namespace kwtest
