// The heartbeat tick: repairs, secure input, the upgrade, stuck keys and the
// one "hb" line that closes every tick, in their order.
#include "keywatch_fixture.h"

#include "event_tap.h"
#include "heartbeat.h"
#include "key_state.h"
#include "lifecycle.h"
#include "lines.h"
#include "tap_callback.h"

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>

namespace kwtest {
namespace {

const std::string HB_OK = R"({"t":"hb","en":true,"ev":0,"sec":false,"tap":0,"valid":true})";
const std::string HB_REENABLED = R"({"t":"hb","en":true,"ev":0,"sec":false,"reEnabled":true,"tap":0,"valid":true})";
const std::string HB_NO_TAP = R"({"t":"hb","en":false,"ev":0,"sec":false,"reEnabled":false,"tap":-1,"valid":false})";

class Heartbeat : public KeywatchTest {
protected:
    void tick() { heartbeat(nullptr, nullptr); }

    void allowNoTap()
    {
        for (sim::TapKind kind : {sim::TapKind::hid, sim::TapKind::session, sim::TapKind::listenOnly})
            keyboard->allowTap(kind, false);
    }

    // A stop left on the loop makes the next run return at once.
    static bool runLoopWasStopped()
    {
        return CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0.0, false) == kCFRunLoopRunStopped;
    }
};


TEST_F(Heartbeat, HealthyTickWritesOneLine)
{
    installTap();
    tick();
    send(kCGEventKeyDown, 1);
    send(kCGEventKeyUp, 1);
    tick();
    const std::vector<std::string> expected = {
        HB_OK, R"({"t":"hb","en":true,"ev":2,"sec":false,"tap":0,"valid":true})"};
    EXPECT_EQ(lines->take(), expected);
}

struct RepairCase {
    const char* name;
    std::function<void(sim::Keyboard&)> breakTap;
    std::vector<std::string> lines;
    int taps;  // taps created in all
};

TEST_F(Heartbeat, TapCheckRepairsOrRecreates)
{
    const RepairCase cases[] = {
        {"disabled, enables again", [](sim::Keyboard&) { CGEventTapEnable(gTap, false); }, {HB_REENABLED}, 1},
        {"disabled for good",
         [](sim::Keyboard& k) {
             CGEventTapEnable(gTap, false);
             k.failReenable(true);
         },
         {R"({"t":"recreated","ok":true,"tap":0,"reason":"heartbeat_reenable_failed"})", HB_REENABLED},
         2},
        {"port invalid", [](sim::Keyboard& k) { k.invalidateTap(); },
         {R"({"t":"recreated","ok":true,"tap":0,"reason":"heartbeat_port_invalid"})", HB_REENABLED}, 2},
        {"port invalid, nothing to be had",
         [](sim::Keyboard& k) {
             k.invalidateTap();
             for (sim::TapKind kind : {sim::TapKind::hid, sim::TapKind::session, sim::TapKind::listenOnly})
                 k.allowTap(kind, false);
         },
         {R"({"t":"recreated","ok":false,"tap":-1,"reason":"heartbeat_port_invalid"})", HB_NO_TAP}, 1},
    };
    for (const RepairCase& c : cases) {
        keyboard = sim::Keyboard::install();
        keyboard->advance(1000.0);
        installTap();
        capsHeld = true;
        c.breakTap(*keyboard);
        tick();
        EXPECT_EQ(lines->take(), c.lines) << c.name;
        EXPECT_EQ(keyboard->tapsCreated(), c.taps) << c.name;
        EXPECT_FALSE(capsHeld) << c.name;
        teardownEventTap();
    }
}

TEST_F(Heartbeat, MissingTapIsRecreatedOnEveryTickUntilItWorks)
{
    allowNoTap();
    installTap();
    ASSERT_EQ(gTap, nullptr);
    tick();
    keyboard->allowTap(sim::TapKind::session, true);
    tick();
    tick();
    const std::vector<std::string> expected = {
        R"({"t":"recreated","ok":false,"tap":-1,"reason":"heartbeat_port_invalid"})",
        HB_NO_TAP,
        R"({"t":"recreated","ok":true,"tap":1,"reason":"heartbeat_port_invalid"})",
        R"({"t":"hb","en":true,"ev":0,"sec":false,"reEnabled":true,"tap":1,"valid":true})",
        R"({"t":"hb","en":true,"ev":0,"sec":false,"tap":1,"valid":true})",
    };
    EXPECT_EQ(lines->take(), expected);
}

TEST_F(Heartbeat, SecureInputEnterAndExit)
{
    installTap();
    capsHeld = true;
    keyboard->setSecureInput(true);
    tick();
    EXPECT_FALSE(capsHeld);
    tick();
    keyboard->setSecureInput(false);
    tick();
    const std::vector<std::string> expected = {
        R"({"t":"rs","reason":"secure_input_enter"})",
        R"({"t":"hb","en":true,"ev":0,"sec":true,"tap":0,"valid":true})",
        R"({"t":"hb","en":true,"ev":0,"sec":true,"tap":0,"valid":true})",
        R"({"t":"rs","reason":"secure_input_exit"})",
        HB_OK,
    };
    EXPECT_EQ(lines->take(), expected);
}

TEST_F(Heartbeat, SecureInputAbsentCountsAsOff)
{
    keyboard->setSecureInputAvailable(false);
    keyboard->setSecureInput(true);
    installTap();
    tick();
    EXPECT_EQ(lines->take(), std::vector<std::string>{HB_OK});
}

// Within one tick: re-creation, then the secure-input change and its repair,
// then the report.
TEST_F(Heartbeat, SecureInputExitRepairsAfterTheTapCheck)
{
    installTap();
    lastSecureInput = 1;
    allowNoTap();
    keyboard->invalidateTap();
    tick();
    const std::vector<std::string> expected = {
        R"({"t":"recreated","ok":false,"tap":-1,"reason":"heartbeat_port_invalid"})",
        R"({"t":"rs","reason":"secure_input_exit"})",
        R"({"t":"recreated","ok":false,"tap":-1,"reason":"secure_input_exit_invalid"})",
        HB_NO_TAP,
    };
    EXPECT_EQ(lines->take(), expected);
}

TEST_F(Heartbeat, ListenOnlyTapIsUpgradedOnTheFifthTick)
{
    keyboard->allowTap(sim::TapKind::hid, false);
    keyboard->allowTap(sim::TapKind::session, false);
    installTap();
    const std::string listenOnly = R"({"t":"hb","en":true,"ev":0,"sec":false,"tap":2,"valid":true})";
    for (int i = 0; i < 5; ++i)
        tick();
    // The fifth attempt found no active kind: nothing but heartbeats.
    EXPECT_EQ(lines->take(), std::vector<std::string>(5, listenOnly));
    keyboard->allowTap(sim::TapKind::hid, true);
    for (int i = 0; i < 4; ++i)
        tick();
    EXPECT_EQ(lines->take(), std::vector<std::string>(4, listenOnly));
    tick();
    const std::vector<std::string> expected = {R"({"t":"upgraded","tap":0,"en":true})", HB_OK};
    EXPECT_EQ(lines->take(), expected);
}

TEST_F(Heartbeat, SecureInputHoldsTheUpgradeCounterAtZero)
{
    keyboard->allowTap(sim::TapKind::hid, false);
    keyboard->allowTap(sim::TapKind::session, false);
    installTap();
    for (int i = 0; i < 4; ++i)
        tick();
    keyboard->setSecureInput(true);
    tick();
    EXPECT_EQ(listenOnlyUpgradeCounter, 0);
    keyboard->allowTap(sim::TapKind::hid, true);
    keyboard->setSecureInput(false);
    for (int i = 0; i < 4; ++i)
        tick();
    EXPECT_EQ(gTapType, 2);
    tick();
    EXPECT_EQ(gTapType, 0);
}

TEST_F(Heartbeat, StuckModifiersReleasedInOrderThenCapsThenReport)
{
    installTap();
    keyboard->setSystemFlags(0x10);  // right Command is really down
    for (const ModifierKey& key : kModifierKeys)
        *key.held = 1;
    capsHeld = true;
    capsShiftHeld = true;
    shiftHeld = 1;
    capsHeldAt = keyboard->now() - 300.0;
    lastCapsActivityAt = keyboard->now();
    tick();
    const std::vector<std::string> expected = {
        R"({"t":"pu","v":164,"stuck":true})", R"({"t":"pu","v":165,"stuck":true})",
        R"({"t":"pu","v":91,"stuck":true})",  R"({"t":"pu","v":162,"stuck":true})",
        R"({"t":"pu","v":163,"stuck":true})", R"({"t":"csu","stuck":true})",
        R"({"t":"cu","stuck":true})",         HB_OK,
    };
    EXPECT_EQ(lines->take(), expected);
    EXPECT_EQ(rightCommandHeld, 1);
    EXPECT_FALSE(capsHeld);
    EXPECT_FALSE(capsShiftHeld);
    EXPECT_EQ(shiftHeld, 0);
}

TEST_F(Heartbeat, CapsWithoutShiftIsReleasedAfterFifteenIdleSeconds)
{
    configure({"65"});
    installTap();
    send(kCGEventFlagsChanged, 57, 0x10000);
    keyboard->advance(10.0);
    send(kCGEventKeyDown, 0);  // watched key activity extends the hold
    lines->take();
    keyboard->advance(14.0);
    tick();
    EXPECT_TRUE(capsHeld);
    keyboard->advance(1.0);
    tick();
    EXPECT_FALSE(capsHeld);
    const std::vector<std::string> expected = {
        R"({"t":"hb","en":true,"ev":2,"sec":false,"tap":0,"valid":true})",
        R"({"t":"cu","stuck":true})",
        R"({"t":"hb","en":true,"ev":2,"sec":false,"tap":0,"valid":true})",
    };
    EXPECT_EQ(lines->take(), expected);
}

TEST_F(Heartbeat, TheCapsTimeOutIsElapsedTimeWhateverTheWallClockDoes)
{
    installTap();
    for (const CFTimeInterval step : {-600.0, 600.0}) {
        SCOPED_TRACE("wall clock stepped by " + std::to_string(step) + " s");
        send(kCGEventFlagsChanged, 57, 0x10000);
        keyboard->stepWallClock(step);
        keyboard->advance(14.0);
        tick();
        EXPECT_TRUE(capsHeld);
        keyboard->advance(1.0);
        tick();
        EXPECT_FALSE(capsHeld);
        const auto written = lines->take();
        EXPECT_EQ(std::count(written.begin(), written.end(), R"({"t":"cu","stuck":true})"), 1);
    }
}

TEST_F(Heartbeat, CapsWithShiftIsReleasedThreeHundredSecondsAfterItsPress)
{
    configure({"65"});
    installTap();
    keyboard->setSystemFlags(0x02);
    send(kCGEventFlagsChanged, 56, 0x02);
    send(kCGEventFlagsChanged, 57, 0x10002);
    for (int i = 0; i < 29; ++i) {
        keyboard->advance(10.0);
        send(kCGEventKeyDown, 0);  // typing does not extend this hold
    }
    keyboard->advance(9.5);
    tick();
    EXPECT_TRUE(capsHeld);
    keyboard->advance(0.5);
    lines->take();
    tick();
    EXPECT_FALSE(capsHeld);
    EXPECT_EQ(shiftHeld, 0);
    const std::vector<std::string> expected = {
        R"({"t":"csu","stuck":true})",
        R"({"t":"cu","stuck":true})",
        R"({"t":"hb","en":true,"ev":31,"sec":false,"tap":0,"valid":true})",
    };
    EXPECT_EQ(lines->take(), expected);
}

TEST_F(Heartbeat, SecureInputSuspendsTheCapsTimeOut)
{
    installTap();
    keyboard->setSecureInput(true);
    tick();
    capsHeld = true;
    lastCapsActivityAt = keyboard->now() - 100.0;
    capsHeldAt = lastCapsActivityAt;
    leftOptionHeld = 1;
    tick();
    EXPECT_TRUE(capsHeld);
    EXPECT_EQ(leftOptionHeld, 0);
}

TEST_F(Heartbeat, StaleShiftClearedSilentlyOnlyWithoutCaps)
{
    installTap();
    shiftHeld = 1;
    capsHeld = true;
    lastCapsActivityAt = keyboard->now();
    tick();
    EXPECT_EQ(shiftHeld, 1);
    capsHeld = false;
    tick();
    EXPECT_EQ(shiftHeld, 0);
    EXPECT_EQ(lines->take(), std::vector<std::string>(2, HB_OK));
}

TEST_F(Heartbeat, ResetRequestIsTakenSilently)
{
    installTap();
    capsHeld = true;
    lastCapsActivityAt = keyboard->now();
    rightControlHeld = 1;
    keyboard->setSystemFlags(0x2000);
    gResetRequested.store(1);
    tick();
    EXPECT_FALSE(capsHeld);
    EXPECT_EQ(rightControlHeld, 0);
    EXPECT_EQ(gResetRequested.load(), 0);
    EXPECT_EQ(lines->take(), std::vector<std::string>{HB_OK});
}

struct EndCase {
    const char* name;
    std::function<void()> cause;
};

TEST_F(Heartbeat, EndOfRunStopsTheLoopAndWritesNothing)
{
    const EndCase cases[] = {
        {"stop requested", [] { gStopRequested.store(1); }},
        {"input ended", [] { gParentEofDetected.store(1); }},
        {"parent gone", [] { gParentPid = deadPid(); }},
    };
    installTap();
    for (const EndCase& c : cases) {
        gStopRequested.store(0);
        gParentEofDetected.store(0);
        gParentPid = 0;
        c.cause();
        tick();
        EXPECT_TRUE(lines->take().empty()) << c.name;
        EXPECT_TRUE(runLoopWasStopped()) << c.name;
    }
}

TEST_F(Heartbeat, ParentPidBelowTwoIsNeverFoundGone)
{
    installTap();
    gParentPid = 1;
    tick();
    EXPECT_EQ(lines->take(), std::vector<std::string>{HB_OK});
}

TEST_F(Heartbeat, FailedReportEndsTheRun)
{
    installTap();
    signal(SIGPIPE, SIG_IGN);
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    close(ends[0]);
    FILE* closedPipe = fdopen(ends[1], "w");
    setLineOutput(closedPipe);
    tick();
    setLineOutput(nullptr);
    fclose(closedPipe);
    signal(SIGPIPE, SIG_DFL);
    EXPECT_EQ(gParentEofDetected.load(), 1);
    EXPECT_TRUE(runLoopWasStopped());
}

}  // namespace
}  // namespace kwtest
