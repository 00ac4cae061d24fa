// What the tap callback makes of each key event: the lines it writes and
// whether the event passes, is deleted or goes on with other flags.
#include "keywatch_fixture.h"

#include "event_tap.h"
#include "key_state.h"
#include "options.h"
#include "stdin_reader.h"
#include "tap_callback.h"

#include <optional>

namespace kwtest {
namespace {

using standin::Disposition;

constexpr CGEventType kDown = kCGEventKeyDown;
constexpr CGEventType kUp = kCGEventKeyUp;
constexpr CGEventType kFlags = kCGEventFlagsChanged;
constexpr CGEventFlags kAlpha = 0x10000;

const std::string CD = R"({"t":"cd"})";
const std::string CU = R"({"t":"cu"})";
const std::string CSD = R"({"t":"csd"})";
const std::string CSU = R"({"t":"csu"})";
const std::string DRIFT = R"({"t":"drift"})";

std::string kd(int vk) { return R"({"t":"kd","v":)" + std::to_string(vk) + "}"; }
std::string ku(int vk) { return R"({"t":"ku","v":)" + std::to_string(vk) + "}"; }
std::string pd(int vk) { return R"({"t":"pd","v":)" + std::to_string(vk) + "}"; }
std::string pu(int vk) { return R"({"t":"pu","v":)" + std::to_string(vk) + "}"; }
std::string dbg(int type, int kc, unsigned long long flags)
{
    return R"({"t":"dbg","type":)" + std::to_string(type) + R"(,"kc":)" + std::to_string(kc) + R"(,"flags":)" +
           std::to_string(flags) + "}";
}

struct Step {
    CGEventType type;
    CGKeyCode keyCode;
    CGEventFlags flags;
    std::vector<std::string> lines;
    Disposition fate;
    // For a changed event: the flags it goes on with.
    std::optional<CGEventFlags> changedFlags = std::nullopt;
    // What CGEventSourceFlagsState answers while the event is classified.
    CGEventFlags systemFlags = 0;
};

struct Scenario {
    const char* name;
    std::vector<std::string> options;
    std::vector<Step> steps;

    friend void PrintTo(const Scenario& s, std::ostream* os) { *os << s.name; }
};

const Scenario kScenarios[] = {
    {"PhysicalCapsLockWithoutRemap",
     {},
     {
         {kFlags, 57, kAlpha, {CD}, Disposition::deleted},
         {kFlags, 57, kAlpha, {}, Disposition::deleted},
         {kDown, 0, kAlpha, {}, Disposition::changed, 0},
         {kFlags, 57, 0, {CU}, Disposition::deleted},
         {kFlags, 57, 0, {}, Disposition::deleted},
         {kDown, 0, kAlpha, {}, Disposition::passed},
     }},
    {"RemappedCapsKey",
     {"--remap", "0x69"},
     {
         {kDown, 105, 0, {CD}, Disposition::deleted},
         {kDown, 105, 0, {}, Disposition::deleted},
         {kFlags, 105, 0, {}, Disposition::deleted},
         {kUp, 105, 0, {CU}, Disposition::deleted},
         {kUp, 105, 0, {}, Disposition::deleted},
     }},
    {"PhysicalCapsLockWhileRemapped",
     {"--remap", "105"},
     {
         {kFlags, 57, kAlpha, {DRIFT}, Disposition::passed},
         {kDown, 105, 0, {CD}, Disposition::deleted},
         {kFlags, 57, kAlpha, {}, Disposition::changed, 0},
     }},
    {"RemapOnAModifierMakesItTheCapsKey",
     {"--remap", "58"},
     {
         {kFlags, 58, 0x20, {}, Disposition::deleted},
         {kDown, 58, 0, {CD}, Disposition::deleted},
         {kUp, 58, 0, {CU}, Disposition::deleted},
     }},
    {"ShiftLayer",
     {},
     {
         {kFlags, 56, 0x02, {}, Disposition::passed},
         {kFlags, 57, kAlpha | 0x02, {CD, CSD}, Disposition::deleted, std::nullopt, 0x02},
         {kFlags, 56, kAlpha, {CSU}, Disposition::deleted},
         {kFlags, 60, kAlpha | 0x04, {CSD}, Disposition::deleted},
         {kFlags, 60, kAlpha | 0x04, {}, Disposition::deleted},
         {kFlags, 57, 0x04, {CSU, CU}, Disposition::deleted, std::nullopt, 0x04},
         {kFlags, 60, 0, {}, Disposition::passed},
     }},
    {"StaleShiftIsDroppedAtCapsDown",
     {},
     {
         {kFlags, 56, 0x02, {}, Disposition::passed},
         {kFlags, 57, kAlpha, {CD}, Disposition::deleted, std::nullopt, 0},
         {kFlags, 56, kAlpha | 0x02, {CSD}, Disposition::deleted},
     }},
    {"WatchedKeysOnlyWhileCapsHeld",
     {"65", "32"},
     {
         {kDown, 0, 0, {}, Disposition::passed},
         {kFlags, 57, kAlpha, {CD}, Disposition::deleted},
         {kDown, 0, kAlpha, {kd(65)}, Disposition::deleted},
         {kDown, 0, kAlpha, {kd(65)}, Disposition::deleted},
         {kUp, 0, kAlpha, {ku(65)}, Disposition::deleted},
         {kDown, 49, kAlpha, {kd(32)}, Disposition::deleted},
         {kDown, 1, kAlpha, {}, Disposition::changed, 0},
         {kDown, 18, kAlpha | 0x02, {}, Disposition::changed, 0x02},
         {kDown, 18, 0x02, {}, Disposition::passed},
         {kFlags, 57, 0, {CU}, Disposition::deleted},
         {kUp, 49, 0, {}, Disposition::passed},
     }},
    {"DirectMapInjectsInsteadOfReporting",
     {"65", "--map", "65:12", "66:13"},
     {
         {kFlags, 57, kAlpha, {CD}, Disposition::deleted},
         {kDown, 0, 0, {}, Disposition::deleted},
         {kUp, 0, 0, {}, Disposition::deleted},
         // 66 has an entry but is not watched: the entry has no effect.
         {kDown, 11, kAlpha, {}, Disposition::changed, 0},
     }},
    // Start-up drops mappings whose injections would come back to them.
    {"MappingCyclesAreReportedNotInjected",
     {"65", "66", "67", "--map", "65:0", "66:8", "67:11"},
     {
         {kFlags, 57, kAlpha, {CD}, Disposition::deleted},
         {kDown, 0, 0, {kd(65)}, Disposition::deleted},
         {kDown, 11, 0, {kd(66)}, Disposition::deleted},
         {kUp, 8, 0, {ku(67)}, Disposition::deleted},
     }},
    {"ModifiersWhetherCapsIsHeldOrNot",
     {},
     {
         {kFlags, 58, 0x20, {pd(164)}, Disposition::passed},
         {kFlags, 58, 0x20, {}, Disposition::passed},
         {kFlags, 61, 0x60, {pd(165)}, Disposition::passed},
         {kFlags, 58, 0x40, {pu(164)}, Disposition::passed},
         {kFlags, 57, kAlpha | 0x40, {CD}, Disposition::deleted},
         {kFlags, 55, kAlpha | 0x48, {pd(91)}, Disposition::passed},
         {kFlags, 54, kAlpha | 0x58, {pd(92)}, Disposition::passed},
         {kFlags, 59, kAlpha | 0x59, {pd(162)}, Disposition::passed},
         {kFlags, 62, kAlpha | 0x2059, {pd(163)}, Disposition::passed},
         {kFlags, 62, kAlpha | 0x59, {pu(163)}, Disposition::passed},
         {kFlags, 59, kAlpha | 0x58, {pu(162)}, Disposition::passed},
         {kFlags, 54, kAlpha | 0x48, {pu(92)}, Disposition::passed},
         {kFlags, 55, kAlpha | 0x40, {pu(91)}, Disposition::passed},
         {kFlags, 61, kAlpha, {pu(165)}, Disposition::passed},
     }},
    {"OtherFlagsChangedEventsTakeTheGeneralPath",
     {},
     {
         {kFlags, 63, kAlpha, {}, Disposition::passed},
         {kFlags, 57, kAlpha, {CD}, Disposition::deleted},
         {kFlags, 63, kAlpha | 0x800000, {}, Disposition::changed, 0x800000},
     }},
    {"DebugLineComesFirst",
     {"--debug", "65"},
     {
         {kFlags, 57, kAlpha, {dbg(12, 57, 0x10000), CD}, Disposition::deleted},
         {kDown, 0, 0, {dbg(10, 0, 0), kd(65)}, Disposition::deleted},
         {kFlags, 58, 0x20, {dbg(12, 58, 0x20), pd(164)}, Disposition::passed},
         {kFlags, 57, 0, {dbg(12, 57, 0), CU}, Disposition::deleted},
         {kUp, 1, 0, {dbg(11, 1, 0)}, Disposition::passed},
     }},
};

class Classification : public KeywatchTest, public ::testing::WithParamInterface<Scenario> {};

TEST_P(Classification, LinesAndFateOfEveryEvent)
{
    const Scenario& scenario = GetParam();
    configure(scenario.options);
    installTap();
    for (size_t i = 0; i < scenario.steps.size(); ++i) {
        const Step& step = scenario.steps[i];
        keyboard->setSystemFlags(step.systemFlags);
        const sim::Delivery delivery = send(step.type, step.keyCode, step.flags);
        EXPECT_EQ(lines->take(), step.lines) << "step " << i;
        EXPECT_TRUE(delivery.reachedTap) << "step " << i;
        EXPECT_EQ(delivery.outcome.disposition, step.fate) << "step " << i;
        if (step.changedFlags) {
            EXPECT_EQ(delivery.outcome.flags, *step.changedFlags) << "step " << i;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Keywatch, Classification, ::testing::ValuesIn(kScenarios),
                         [](const auto& testCase) { return std::string(testCase.param.name); });

class TapCallback : public KeywatchTest {};

TEST_F(TapCallback, DirectMapPostsAPressAndReleaseOfTheMappedKey)
{
    configure({"65", "--map", "65:12"});
    installTap();
    send(kFlags, 57, kAlpha);
    lines->take();
    keyboard->clearPosted();
    send(kDown, 0, 0);
    const std::vector<standin::PostedEvent> posted = keyboard->posted();
    ASSERT_EQ(posted.size(), 2u);
    EXPECT_EQ(posted[0].type, kCGEventKeyDown);
    EXPECT_EQ(posted[0].keyCode, 12);
    EXPECT_EQ(posted[0].flags, 0u);
    EXPECT_EQ(posted[1].type, kCGEventKeyUp);
    EXPECT_EQ(posted[1].keyCode, 12);
    EXPECT_EQ(posted[0].location, kCGHIDEventTap);
    // Q (81) is not watched: its injected press reaches applications, silently.
    EXPECT_EQ(lines->take(), std::vector<std::string>{});
}

TEST_F(TapCallback, ListenOnlyTapWritesTheSameLinesButCannotDelete)
{
    keyboard->allowTap(sim::TapKind::hid, false);
    keyboard->allowTap(sim::TapKind::session, false);
    installTap();
    ASSERT_EQ(gTapType, 2);
    const sim::Delivery delivery = send(kFlags, 57, kAlpha);
    EXPECT_EQ(lines->take(), std::vector<std::string>{CD});
    EXPECT_EQ(delivery.outcome.disposition, Disposition::passed);
}

TEST_F(TapCallback, CapsLockWatchReportsOneChangeThenDisarms)
{
    installTap();
    processCommandLine(R"({"c":"watch-caps"})");
    keyboard->setSystemFlags(0);
    // The state equals the one seen at start: nothing, and the watch stays armed.
    sim::Delivery delivery = send(kFlags, 57, 0);
    EXPECT_TRUE(lines->take().empty());
    EXPECT_EQ(delivery.outcome.disposition, Disposition::passed);
    EXPECT_TRUE(watchPhysicalCapsOnce.load());

    keyboard->setSystemFlags(kAlpha);
    delivery = send(kFlags, 57, kAlpha);
    EXPECT_EQ(lines->take(), std::vector<std::string>{R"({"t":"cpx","state":1})"});
    EXPECT_EQ(delivery.outcome.disposition, Disposition::passed);
    EXPECT_FALSE(watchPhysicalCapsOnce.load());
    EXPECT_FALSE(capsHeld);

    // Disarmed: Caps Lock is push-to-talk again.
    delivery = send(kFlags, 57, kAlpha);
    EXPECT_EQ(lines->take(), std::vector<std::string>{CD});
    EXPECT_EQ(delivery.outcome.disposition, Disposition::deleted);
}

TEST_F(TapCallback, CapsLockWatchKeepsDriftAndPushToTalkAway)
{
    configure({"--remap", "105"});
    installTap();
    processCommandLine(R"({"c":"watch-caps"})");
    keyboard->setSystemFlags(0);
    send(kFlags, 57, 0);
    EXPECT_TRUE(lines->take().empty());
    processCommandLine(R"({"c":"unwatch-caps"})");
    send(kFlags, 57, 0);
    EXPECT_EQ(lines->take(), std::vector<std::string>{DRIFT});
}

TEST_F(TapCallback, DriftAtMostOnceInThreeSeconds)
{
    configure({"--remap", "105"});
    installTap();
    struct Tick {
        CFTimeInterval advance;
        bool drift;
    };
    const Tick ticks[] = {{0.0, true}, {1.0, false}, {1.5, false}, {0.5, true}, {2.75, false}, {0.25, true}};
    for (const Tick& tick : ticks) {
        keyboard->advance(tick.advance);
        send(kFlags, 57, 0);
        EXPECT_EQ(lines->take(), tick.drift ? std::vector<std::string>{DRIFT} : std::vector<std::string>{})
            << "after " << tick.advance;
    }
}

TEST_F(TapCallback, TheDriftIntervalIsElapsedTimeWhateverTheWallClockDoes)
{
    configure({"--remap", "105"});
    installTap();
    send(kFlags, 57, 0);
    EXPECT_EQ(lines->take(), std::vector<std::string>{DRIFT});
    for (const CFTimeInterval step : {-600.0, 600.0}) {
        SCOPED_TRACE("wall clock stepped by " + std::to_string(step) + " s");
        keyboard->stepWallClock(step);
        keyboard->advance(1.0);
        send(kFlags, 57, 0);
        EXPECT_TRUE(lines->take().empty());
        keyboard->advance(2.0);
        send(kFlags, 57, 0);
        EXPECT_EQ(lines->take(), std::vector<std::string>{DRIFT});
    }
}

TEST_F(TapCallback, ResetRequestClearsTheStateWithoutReleaseLines)
{
    configure({"65"});
    installTap();
    send(kFlags, 57, kAlpha);
    send(kFlags, 58, 0x20);
    lines->take();
    processCommandLine(R"({"c":"reset"})");
    processCommandLine(R"({"c":"reset"})");
    // The next event takes the request first: A is no longer a watched key press.
    const sim::Delivery delivery = send(kDown, 0, kAlpha);
    EXPECT_EQ(delivery.outcome.disposition, Disposition::passed);
    EXPECT_EQ(gResetRequested.load(), 0);
    send(kFlags, 58, 0);
    send(kFlags, 57, 0);
    EXPECT_TRUE(lines->take().empty());
}

TEST_F(TapCallback, EventCountCountsEveryInvocationAndWraps)
{
    installTap();
    send(kDown, 1, 0);
    send(kUp, 1, 0);
    ASSERT_TRUE(keyboard->disableTap(kCGEventTapDisabledByTimeout));
    ASSERT_TRUE(pumpUntil([] { return eventCount == 3; }));
    eventCount = 2147483647;
    send(kDown, 1, 0);
    EXPECT_EQ(eventCount, -2147483647 - 1);
}

struct DisabledCase {
    CGEventType reason;
    const char* reLine;
};

TEST_F(TapCallback, TapDisabledResetsStateAndEnablesTheTapAgain)
{
    const DisabledCase cases[] = {
        {kCGEventTapDisabledByTimeout, R"({"t":"re","reason":-2,"reset":true})"},
        {kCGEventTapDisabledByUserInput, R"({"t":"re","reason":-1,"reset":true})"},
    };
    configure({"--debug"});
    installTap();
    for (const DisabledCase& c : cases) {
        send(kFlags, 57, kAlpha);
        lines->take();
        ASSERT_TRUE(keyboard->disableTap(c.reason));
        ASSERT_TRUE(pumpUntil([&] { return !lines->all().empty() && keyboard->tapEnabled(); }));
        // No debug line for the notification, no recreation.
        EXPECT_EQ(lines->take(), std::vector<std::string>{c.reLine});
        EXPECT_FALSE(capsHeld);
        EXPECT_EQ(keyboard->tapsCreated(), 1);
        // The release after the reset writes nothing but its debug line.
        send(kFlags, 57, 0);
        EXPECT_EQ(lines->take(), std::vector<std::string>{dbg(12, 57, 0)});
    }
}

TEST_F(TapCallback, TapThatCannotBeEnabledAgainIsRecreated)
{
    installTap();
    keyboard->failReenable(true);
    ASSERT_TRUE(keyboard->disableTap(kCGEventTapDisabledByUserInput));
    ASSERT_TRUE(pumpUntil([&] { return keyboard->tapsCreated() == 2; }));
    const std::vector<std::string> expected = {
        R"({"t":"re","reason":-1,"reset":true})",
        R"({"t":"recreated","ok":true,"tap":0,"reason":"tap_disabled_reenable_failed"})",
    };
    EXPECT_EQ(lines->take(), expected);
    EXPECT_EQ(keyboard->liveTaps(), 1);
    EXPECT_EQ(gTapType, 0);
}

}  // namespace
}  // namespace kwtest
