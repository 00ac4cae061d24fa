// The host's commands on standard input, read by a thread of their own, and
// the two key helpers the tap callback shares: macToVK and simulateKey.
#pragma once

#include <poll.h>
#include <pthread.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

// The Caps Lock watch, armed by "watch-caps" and taken by the tap callback.
extern std::atomic<bool> watchPhysicalCapsOnce;

// Virtual-key code of a key code; -1 when it has none.
int32_t macToVK(uint32_t keycode);

// Posts a press and a release of the key code's low 16 bits.
void simulateKey(int32_t keycode);

// One command line, without its LF.
void processCommandLine(const char* line);

// Pending bytes of a line whose LF has not come yet.
struct LineBuffer {
    char bytes[512];
    size_t pending = 0;
    bool discarding = false;  // inside a line too long to keep, up to its LF
};

// Takes `count` bytes as one read would deliver them (at most what fits).
void takeInput(LineBuffer& lines, const char* bytes, size_t count);

enum class ReaderEnd { inputEnded, woken, stopRequested, pollFailed, parentGone };

// Reads commands from `inputFd` until it ends or fails, a byte arrives on
// `wakeFd` (skipped when negative), or the stop flag is set. With a positive
// `parentCheckMs` it also ends when the parent is found gone at that interval.
// A descriptor that poll() refuses but that is open (a terminal, on macOS)
// is watched with select() instead.
ReaderEnd readCommands(int inputFd, int wakeFd, int parentCheckMs);

// Thread function: reads standard input, then stops the main run loop.
void* stdinReader(void*);
// True once the thread has left its loop, whatever the cause. A stop it sent
// before the main loop ran is lost on the native system; this is its trace.
bool stdinReaderEnded();

// How the thread is started; tests replace it to see a failed start.
using ThreadStarter = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);
extern ThreadStarter gStartThread;

// How input is waited for first; tests replace it to answer as macOS's
// poll() does for a terminal, which it refuses with POLLNVAL.
using PollFunction = int (*)(pollfd*, nfds_t, int);
extern PollFunction gPoll;

// False when the thread could not be created. Without a heartbeat to watch
// the parent, the thread watches it itself.
bool startStdinThread(bool watchParent);
// Wakes the thread through the self-pipe and waits for it to end.
void finishStdinThread();

// For the heartbeat when the thread could not be created: takes what
// standard input holds now, without blocking, and marks its end.
void readStdinWithoutThread();

// Everything of this file back to its start values; no thread may run.
void resetStdinReaderGlobals();
