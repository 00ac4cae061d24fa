// The tap: the order of kinds to fall back on, teardown, re-creation and the
// upgrade of a listen-only tap.
#include "keywatch_fixture.h"

#include "event_tap.h"
#include "key_state.h"

namespace kwtest {
namespace {

class EventTap : public KeywatchTest {
protected:
    void allowOnly(std::initializer_list<sim::TapKind> kinds)
    {
        for (sim::TapKind kind : {sim::TapKind::hid, sim::TapKind::session, sim::TapKind::listenOnly})
            keyboard->allowTap(kind, false);
        for (sim::TapKind kind : kinds)
            keyboard->allowTap(kind, true);
    }
};

struct KindCase {
    std::vector<sim::TapKind> allowed;
    int32_t kind;
};

TEST_F(EventTap, InstallTakesTheFirstKindTheSystemAllows)
{
    const KindCase cases[] = {
        {{sim::TapKind::hid, sim::TapKind::session, sim::TapKind::listenOnly}, 0},
        {{sim::TapKind::session, sim::TapKind::listenOnly}, 1},
        {{sim::TapKind::listenOnly}, 2},
        {{}, -1},
    };
    gEventMask = 0x1C00;
    gMainRunLoop = CFRunLoopGetCurrent();
    for (const KindCase& c : cases) {
        allowOnly({});
        for (sim::TapKind kind : c.allowed)
            keyboard->allowTap(kind, true);
        int32_t kind = 99;
        const bool ok = installEventTap(&kind);
        EXPECT_EQ(kind, c.kind);
        EXPECT_EQ(ok, c.kind >= 0);
        EXPECT_EQ(gTapType, c.kind);
        EXPECT_EQ(gTap != nullptr, c.kind >= 0);
        EXPECT_EQ(gTapSource != nullptr, c.kind >= 0);
        teardownEventTap();
    }
    EXPECT_EQ(keyboard->liveTaps(), 0);
}

TEST_F(EventTap, EveryKindAsksForKeyEventsAtTheHead)
{
    installTap();
    const std::vector<standin::TapRequest> requests = keyboard->tapRequests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].location, kCGHIDEventTap);
    EXPECT_EQ(requests[0].placement, kCGHeadInsertEventTap);
    EXPECT_EQ(requests[0].options, kCGEventTapOptionDefault);
    EXPECT_EQ(requests[0].mask, 0x1C00u);
}

TEST_F(EventTap, FailedSourceReleasesTheTapAndTriesNoOtherKind)
{
    keyboard->failRunLoopSource(true);
    gEventMask = 0x1C00;
    int32_t kind = 5;
    EXPECT_FALSE(installEventTap(&kind));
    EXPECT_EQ(kind, -1);
    EXPECT_EQ(gTap, nullptr);
    EXPECT_EQ(gTapType, -1);
    EXPECT_EQ(keyboard->tapsCreated(), 1);
    EXPECT_EQ(keyboard->liveTaps(), 0);
}

TEST_F(EventTap, TeardownTwiceIsHarmless)
{
    installTap();
    teardownEventTap();
    teardownEventTap();
    EXPECT_EQ(gTap, nullptr);
    EXPECT_EQ(gTapSource, nullptr);
    EXPECT_EQ(gTapType, -1);
    EXPECT_EQ(keyboard->liveTaps(), 0);
}

TEST_F(EventTap, RecreateResetsKeysAndReportsTheOutcome)
{
    installTap();
    capsHeld = true;
    leftCommandHeld = 1;
    allowOnly({sim::TapKind::session});
    recreateEventTap("heartbeat_port_invalid");
    EXPECT_FALSE(capsHeld);
    EXPECT_EQ(leftCommandHeld, 0);
    EXPECT_EQ(gTapType, 1);

    allowOnly({});
    recreateEventTap(nullptr);
    EXPECT_EQ(gTap, nullptr);
    EXPECT_EQ(gTapType, -1);
    const std::vector<std::string> expected = {
        R"({"t":"recreated","ok":true,"tap":1,"reason":"heartbeat_port_invalid"})",
        R"({"t":"recreated","ok":false,"tap":-1,"reason":"unknown"})",
    };
    EXPECT_EQ(lines->take(), expected);
    EXPECT_EQ(keyboard->liveTaps(), 0);
}

TEST_F(EventTap, UpgradeReplacesAListenOnlyTapWithAnActiveOne)
{
    allowOnly({sim::TapKind::listenOnly});
    installTap();
    ASSERT_EQ(gTapType, 2);
    capsHeld = true;
    keyboard->allowTap(sim::TapKind::session, true);
    listenOnlyUpgradeCounter = 3;
    tryUpgradeListenOnlyTap();
    EXPECT_EQ(gTapType, 1);
    EXPECT_FALSE(capsHeld);
    EXPECT_EQ(listenOnlyUpgradeCounter, 0);
    EXPECT_EQ(lines->take(), std::vector<std::string>{R"({"t":"upgraded","tap":1,"en":true})"});
    EXPECT_EQ(keyboard->liveTaps(), 1);
    // Events reach the new tap, which can now delete them.
    EXPECT_EQ(send(kCGEventFlagsChanged, 57, 0x10000).outcome.disposition, standin::Disposition::deleted);
}

TEST_F(EventTap, UpgradeThatCannotHappenChangesNothing)
{
    allowOnly({sim::TapKind::listenOnly});
    installTap();
    tryUpgradeListenOnlyTap();
    EXPECT_EQ(gTapType, 2);

    keyboard->allowTap(sim::TapKind::hid, true);
    keyboard->failRunLoopSource(true);
    tryUpgradeListenOnlyTap();
    EXPECT_EQ(gTapType, 2);
    EXPECT_EQ(keyboard->liveTaps(), 1);
    EXPECT_TRUE(lines->take().empty());
}

TEST_F(EventTap, UpgradeLeavesActiveTapsAlone)
{
    allowOnly({sim::TapKind::session, sim::TapKind::hid});
    installTap();
    tryUpgradeListenOnlyTap();
    EXPECT_EQ(gTapType, 0);
    EXPECT_EQ(keyboard->tapsCreated(), 1);
    EXPECT_TRUE(lines->take().empty());
}

// The counter rule on its own: attempts on the fifth qualifying tick.
TEST_F(EventTap, UpgradeCounterRule)
{
    allowOnly({sim::TapKind::listenOnly});
    installTap();
    struct Tick {
        bool secure;
        bool attempted;
        int32_t counter;
    };
    const Tick ticks[] = {
        {false, false, 1}, {false, false, 2}, {true, false, 0}, {false, false, 1}, {false, false, 2},
        {false, false, 3}, {false, false, 4}, {false, true, 0}, {false, false, 1},
    };
    for (size_t i = 0; i < std::size(ticks); ++i) {
        EXPECT_EQ(applyListenOnlyUpgradeRule(ticks[i].secure), ticks[i].attempted) << "tick " << i;
        EXPECT_EQ(listenOnlyUpgradeCounter, ticks[i].counter) << "tick " << i;
    }
    EXPECT_EQ(gTapType, 2);
}

}  // namespace
}  // namespace kwtest
