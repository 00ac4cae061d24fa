// The key table and the flags layout, without a display.
#include "key_codes.h"
#include "key_translator.h"
#include "x11_flags.h"

#include <gtest/gtest.h>

#include <set>
#include <vector>

namespace {

using namespace x11;

struct KeyRow {
    const char* name;
    uint8_t xKeycode;
    uint16_t macKey;
};

// X keycodes of the evdev keymap against the macOS key codes of the same keys.
const KeyRow kKeyRows[] = {
    {"A", 38, 0},        {"S", 39, 1},        {"D", 40, 2},         {"F", 41, 3},
    {"H", 43, 4},        {"G", 42, 5},        {"Z", 52, 6},         {"X", 53, 7},
    {"C", 54, 8},        {"V", 55, 9},        {"B", 56, 11},        {"Q", 24, 12},
    {"W", 25, 13},       {"E", 26, 14},       {"R", 27, 15},        {"Y", 29, 16},
    {"T", 28, 17},       {"O", 32, 31},       {"U", 30, 32},        {"I", 31, 34},
    {"P", 33, 35},       {"L", 46, 37},       {"J", 44, 38},        {"K", 45, 40},
    {"N", 57, 45},       {"M", 58, 46},       {"1", 10, 18},        {"2", 11, 19},
    {"3", 12, 20},       {"4", 13, 21},       {"5", 14, 23},        {"6", 15, 22},
    {"7", 16, 26},       {"8", 17, 28},       {"9", 18, 25},        {"0", 19, 29},
    {"Return", 36, 36},  {"Space", 65, 49},   {"Tab", 23, 48},      {"Escape", 9, 53},
    {"F1", 67, 122},     {"F2", 68, 120},     {"F3", 69, 99},       {"F4", 70, 118},
    {"F5", 71, 96},      {"F6", 72, 97},      {"F7", 73, 98},       {"F8", 74, 100},
    {"F9", 75, 101},     {"F10", 76, 109},    {"F11", 95, 103},     {"F12", 96, 111},
    {"F13", 191, 105},   {"F14", 192, 107},   {"F15", 193, 113},    {"F16", 194, 106},
    {"F17", 195, 64},    {"F18", 196, 79},    {"F19", 197, 80},     {"F20", 198, 90},
    {"Left", 113, 123},  {"Right", 114, 124}, {"Down", 116, 125},   {"Up", 111, 126},
    {"Shift_L", 50, 56}, {"Shift_R", 62, 60}, {"Control_L", 37, 59}, {"Control_R", 105, 62},
    {"Alt_L", 64, 58},   {"Alt_R", 108, 61},  {"Super_L", 133, 55}, {"Super_R", 134, 54},
    {"Caps_Lock", 66, 57},
};

TEST(KeyCodes, EveryKeyOfTheTableTranslatesBothWays)
{
    for (const KeyRow& row : kKeyRows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(macKeyForXKeycode(row.xKeycode), std::optional<uint16_t>(row.macKey));
        EXPECT_EQ(xKeycodeForMacKey(row.macKey), std::optional<uint8_t>(row.xKeycode));
    }
}

TEST(KeyCodes, NoTwoXKeysShareAMacKeyExceptHelpAndInsert)
{
    std::set<uint16_t> seen;
    int shared = 0;
    for (unsigned x = 0; x < 256; ++x) {
        const auto mac = macKeyForXKeycode(static_cast<uint8_t>(x));
        if (mac && !seen.insert(*mac).second) {
            ++shared;
            EXPECT_EQ(*mac, kMacHelp) << "X keycode " << x;
        }
    }
    EXPECT_EQ(shared, 1);
    EXPECT_GE(seen.size(), 100u);
}

TEST(KeyCodes, KeysWithoutACounterpartHaveNone)
{
    EXPECT_FALSE(macKeyForXKeycode(0));
    EXPECT_FALSE(macKeyForXKeycode(7));      // below the first X keycode
    EXPECT_FALSE(macKeyForXKeycode(255));
    EXPECT_FALSE(xKeycodeForMacKey(0x34));   // a gap in the macOS numbering
    EXPECT_FALSE(xKeycodeForMacKey(128));
    EXPECT_FALSE(xKeycodeForMacKey(65535));
}

TEST(MacFlags, EachModifierSetsItsSideAndItsMask)
{
    struct Row {
        const char* name;
        uint8_t xKeycode;
        uint64_t flags;
    };
    const Row rows[] = {
        {"Shift_L", 50, 0x20002},    {"Shift_R", 62, 0x20004},   {"Control_L", 37, 0x40001},
        {"Control_R", 105, 0x42000}, {"Alt_L", 64, 0x80020},     {"Alt_R", 108, 0x80040},
        {"Super_L", 133, 0x100008},  {"Super_R", 134, 0x100010}, {"A", 38, 0},
        {"Caps_Lock", 66, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        KeysDown down;
        down[row.xKeycode] = true;
        EXPECT_EQ(macFlags(down, false), row.flags);
        EXPECT_EQ(macFlags(down, true), row.flags | kFlagAlphaShift);
    }
}

TEST(MacFlags, BothSidesShareTheMask)
{
    KeysDown down;
    down[50] = down[62] = down[37] = true;
    EXPECT_EQ(macFlags(down, false), 0x20000u | 0x40000u | 0x02u | 0x04u | 0x01u);
    EXPECT_EQ(macFlags(KeysDown{}, false), 0u);
}

struct Step {
    bool press;
    uint8_t xKeycode;
    std::optional<MacKeyEvent> expected;
};

void play(KeyTranslator& translator, const std::vector<Step>& steps)
{
    for (size_t i = 0; i < steps.size(); ++i) {
        SCOPED_TRACE("step " + std::to_string(i));
        const auto event = translator.translate(steps[i].press, steps[i].xKeycode);
        ASSERT_EQ(event.has_value(), steps[i].expected.has_value());
        if (event) {
            EXPECT_EQ(event->type, steps[i].expected->type);
            EXPECT_EQ(event->keycode, steps[i].expected->keycode);
            EXPECT_EQ(event->flags, steps[i].expected->flags);
        }
    }
}

TEST(KeyTranslator, CapsLockMakesOneFlagsChangeForEachPressWithTheStateAfterIt)
{
    KeyTranslator translator(KeyboardSnapshot{});
    play(translator, {
                         {true, 66, MacKeyEvent{kEventFlagsChanged, 57, 0x10000}},
                         {false, 66, std::nullopt},
                         {true, 38, MacKeyEvent{kEventKeyDown, 0, 0x10000}},
                         {false, 38, MacKeyEvent{kEventKeyUp, 0, 0x10000}},
                         {true, 66, MacKeyEvent{kEventFlagsChanged, 57, 0}},
                         {true, 66, std::nullopt},  // a repeat while held toggles nothing
                         {false, 66, std::nullopt},
                         {true, 38, MacKeyEvent{kEventKeyDown, 0, 0}},
                     });
    EXPECT_EQ(translator.flags() & 0x10000, 0u);
}

TEST(KeyTranslator, StartsFromTheLockAndTheKeysDownItIsGiven)
{
    KeyboardSnapshot start;
    start.capsLocked = true;
    start.down[50] = true;  // left Shift already held
    KeyTranslator translator(start);
    play(translator, {
                         {true, 56, MacKeyEvent{kEventKeyDown, 11, 0x30002}},
                         {false, 50, MacKeyEvent{kEventFlagsChanged, 56, 0x10000}},
                         {true, 66, MacKeyEvent{kEventFlagsChanged, 57, 0}},
                     });
}

TEST(KeyTranslator, ModifiersChangeFlagsAndOrdinaryKeysRepeatAsKeyDowns)
{
    KeyTranslator translator(KeyboardSnapshot{});
    play(translator, {
                         {true, 134, MacKeyEvent{kEventFlagsChanged, 54, 0x100010}},
                         {true, 105, MacKeyEvent{kEventFlagsChanged, 62, 0x142010}},
                         {true, 38, MacKeyEvent{kEventKeyDown, 0, 0x142010}},
                         {true, 38, MacKeyEvent{kEventKeyDown, 0, 0x142010}},
                         {false, 38, MacKeyEvent{kEventKeyUp, 0, 0x142010}},
                         {false, 134, MacKeyEvent{kEventFlagsChanged, 54, 0x42000}},
                         {false, 105, MacKeyEvent{kEventFlagsChanged, 62, 0}},
                         {true, 255, std::nullopt},  // a key with no macOS code
                     });
}

}  // namespace
