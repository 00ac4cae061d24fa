#include "lifecycle.h"

#include "event_tap.h"
#include "heartbeat.h"
#include "key_state.h"
#include "lines.h"
#include "options.h"
#include "permissions.h"
#include "remap_reset.h"
#include "stdin_reader.h"
#include "tap_callback.h"

#include <CoreGraphics/CoreGraphics.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>

pid_t gParentPid = 0;
std::atomic<int> gSignalPipe[2] = {-1, -1};
std::atomic<int32_t> gStopRequested{0};
std::atomic<int32_t> gParentEofDetected{0};
TimerMaker gCreateTimer = CFRunLoopTimerCreate;

static_assert(std::atomic<int32_t>::is_always_lock_free && std::atomic<int>::is_always_lock_free,
              "the signal handler needs lock-free atomics");

namespace {

constexpr CFTimeInterval kHeartbeatInterval = 2.0;
constexpr int kHeartbeatIntervalMs = 2000;

void openSignalPipe()
{
    int ends[2];
    if (pipe(ends) != 0)
        return;
    fcntl(ends[0], F_SETFL, O_NONBLOCK);
    fcntl(ends[1], F_SETFL, O_NONBLOCK);
    fcntl(ends[0], F_SETFD, FD_CLOEXEC);
    fcntl(ends[1], F_SETFD, FD_CLOEXEC);
    gSignalPipe[0].store(ends[0]);
    gSignalPipe[1].store(ends[1]);
}

void closeSignalPipe()
{
    for (std::atomic<int>& end : gSignalPipe) {
        const int fd = end.exchange(-1);
        if (fd >= 0)
            close(fd);
    }
}

void earlySetUp()
{
    setvbuf(stdout, nullptr, _IONBF, 0);
    gParentPid = getppid();
    signal(SIGPIPE, SIG_IGN);
    // A terminal's job control must never stop a program that may hold
    // every keyboard.
    signal(SIGTSTP, SIG_IGN);
    signal(SIGTTIN, SIG_IGN);
    signal(SIGTTOU, SIG_IGN);
    openSignalPipe();
    signal(SIGTERM, cleanup);
    signal(SIGINT, cleanup);
}

int runProbe(Probe probe)
{
    if (probe == Probe::listenAccess)
        runListenProbe();
    else
        runSecureInputProbe();
    return 0;
}

CFRunLoopTimerRef startHeartbeat()
{
    CFRunLoopTimerRef timer = gCreateTimer(kCFAllocatorDefault, CFAbsoluteTimeGetCurrent() + kHeartbeatInterval,
                                           kHeartbeatInterval, 0, 0, heartbeat, nullptr);
    if (timer != nullptr)
        CFRunLoopAddTimer(gMainRunLoop, timer, kCFRunLoopCommonModes);
    return timer;
}

void stopHeartbeat(CFRunLoopTimerRef timer)
{
    if (timer == nullptr)
        return;
    CFRunLoopRemoveTimer(gMainRunLoop, timer, kCFRunLoopCommonModes);
    CFRelease(timer);
}

bool runStillWanted()
{
    return gStopRequested.load() == 0 && gParentEofDetected.load() == 0;
}

// A run without its timer ends on the heartbeat's causes, and when the
// reader has gone for any reason.
bool runWithoutTimerEnded()
{
    return !runStillWanted() || !isParentAlive() || stdinReaderEnded();
}

// Without its timer the heartbeat runs between slices of the run loop, each
// an interval long. A stop sent while no slice runs is then only late: the
// native loop drops such a stop and, with no timer, would wait for good.
void runWithoutTimer()
{
    while (!runWithoutTimerEnded()) {
        // Nothing to run (no tap just now) returns at once; wait all the same.
        if (CFRunLoopRunInMode(kCFRunLoopDefaultMode, kHeartbeatInterval, false) == kCFRunLoopRunFinished)
            poll(nullptr, 0, kHeartbeatIntervalMs);
        readStdinWithoutThread();
        if (runWithoutTimerEnded())
            return;
        heartbeat(nullptr, nullptr);
    }
}

void announceStart(int32_t kind)
{
    const bool enabled = CGEventTapIsEnabled(gTap);
    lastAlphaShift = (CGEventSourceFlagsState(kCGEventSourceStateCombinedSessionState) & kAlphaShiftMask) != 0 ? 1 : 0;
    lastSecureInput = isSecureEventInputEnabledSafe() ? 1 : 0;
    writeOkLine(kind, enabled, listenAccessState(), remapKeycode);
}

int run()
{
    gEventMask = CGEventMaskBit(kCGEventKeyDown) | CGEventMaskBit(kCGEventKeyUp) | CGEventMaskBit(kCGEventFlagsChanged);
    gMainRunLoop = CFRunLoopGetCurrent();
    int32_t kind = -1;
    installEventTap(&kind);
    if (gTap == nullptr) {
        writeErrLine();
        return 1;
    }
    announceStart(kind);

    // Each watches what the other cannot: the heartbeat the parent, the
    // thread the input. Without the thread the heartbeat reads the input.
    CFRunLoopTimerRef timer = startHeartbeat();
    startStdinThread(timer == nullptr);
    if (timer == nullptr)
        runWithoutTimer();
    else if (runStillWanted())
        CFRunLoopRun();

    stopHeartbeat(timer);
    teardownEventTap();
    if (remapResetDue())
        resetSystemKeyMapping();
    finishStdinThread();
    return 0;
}

int finish(int status)
{
    // A late signal must not write to a closed (or reused) descriptor.
    signal(SIGTERM, SIG_IGN);
    signal(SIGINT, SIG_IGN);
    closeSignalPipe();
    return status;
}

}  // namespace

int keywatchMain(int argc, char** argv)
{
    earlySetUp();
    const Probe probe = findProbe(argc, argv);
    if (probe != Probe::none)
        return finish(runProbe(probe));
    parseOptions(argc, argv);
    dropDirectMapCycles();
    return finish(run());
}

void cleanup(int)
{
    gStopRequested.store(1);
    const int wakeFd = gSignalPipe[1].load();
    if (wakeFd < 0)
        return;
    const int savedErrno = errno;
    const char wake = 1;
    ssize_t ignored = write(wakeFd, &wake, 1);
    (void)ignored;
    errno = savedErrno;
}

bool isParentAlive()
{
    if (gParentPid < 2)
        return true;
    if (getppid() == 1)
        return false;
    if (kill(gParentPid, 0) == 0)
        return true;
    return errno != ESRCH;
}

void resetKeywatchGlobals()
{
    gParentPid = 0;
    closeSignalPipe();
    gStopRequested.store(0);
    gParentEofDetected.store(0);
    resetOptionGlobals();
    resetKeyStateGlobals();
    resetEventTapGlobals();
    resetTapCallbackGlobals();
    resetHeartbeatGlobals();
    resetStdinReaderGlobals();
    resetPermissionGlobals();
    setLineOutput(nullptr);
    gCreateTimer = CFRunLoopTimerCreate;
}
