// The process from start to exit: early set-up, the probes, start-up with its
// first line, the run loop, and the shutdown with the remap reset.
#pragma once

#include <CoreFoundation/CoreFoundation.h>
#include <sys/types.h>

#include <atomic>
#include <cstdint>

extern pid_t gParentPid;
// Read end, write end; -1 when the pipe could not be made. The signal
// handler may read them on any thread at any time.
extern std::atomic<int> gSignalPipe[2];
// Set from other threads (the signal handler, the stdin thread); the
// handler needs its flag lock-free.
extern std::atomic<int32_t> gStopRequested;
extern std::atomic<int32_t> gParentEofDetected;

// How the heartbeat timer is made; tests replace it to see a failed creation.
using TimerMaker = CFRunLoopTimerRef (*)(CFAllocatorRef, CFAbsoluteTime, CFTimeInterval, CFOptionFlags, CFIndex,
                                         CFRunLoopTimerCallBack, CFRunLoopTimerContext*);
extern TimerMaker gCreateTimer;

// The whole program; returns its exit status.
int keywatchMain(int argc, char** argv);

// Signal handler: marks the stop and wakes the stdin thread.
void cleanup(int signal);

// False only when the parent is known to be gone; a parent pid below 2 cannot
// be watched and counts as alive.
bool isParentAlive();

// Everything keywatch keeps back to its start values, so that one process
// can run it many times.
void resetKeywatchGlobals();
