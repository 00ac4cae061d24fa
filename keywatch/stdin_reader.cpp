#include "stdin_reader.h"

#include "event_tap.h"
#include "key_state.h"
#include "lifecycle.h"

#include <CoreGraphics/CoreGraphics.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/select.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>

std::atomic<bool> watchPhysicalCapsOnce{false};
ThreadStarter gStartThread = pthread_create;
PollFunction gPoll = poll;

namespace {

constexpr size_t kMaxPending = 511;
constexpr short kInputEvents = POLLIN | POLLERR | POLLHUP;
// Bounds one heartbeat's share of input when no thread reads it.
constexpr int kMaxReadsWithoutThread = 64;

pthread_t stdinThread;
bool stdinThreadStarted = false;
bool stdinThreadFailed = false;
// Set when the shutdown wakes the thread: the run loop has already ended
// and must not be left with a stop for a later run.
std::atomic<bool> readerFinishing{false};
std::atomic<bool> readerEnded{false};
int readerParentCheckMs = -1;
LineBuffer linesWithoutThread;
bool selectWithoutThread = false;

constexpr int32_t kVirtualKeys[50] = {
    0x41, 0x53, 0x44, 0x46, 0x48, 0x47, 0x5A, 0x58, 0x43, 0x56,  // 0-9
    -1,   0x42, 0x51, 0x57, 0x45, 0x52, 0x59, 0x54, -1,   -1,    // 10-19
    -1,   -1,   -1,   -1,   -1,   -1,   -1,   -1,   -1,   -1,    // 20-29
    -1,   0x4F, 0x55, -1,   0x49, 0x50, 0x0D, 0x4C, 0x4A, -1,    // 30-39
    0x4B, -1,   -1,   -1,   -1,   0x4E, 0x4D, -1,   -1,   0x20,  // 40-49
};

void postKey(CGKeyCode code, bool down)
{
    CGEventRef event = CGEventCreateKeyboardEvent(nullptr, code, down);
    if (event == nullptr)
        return;
    CGEventPost(kCGHIDEventTap, event);
    CFRelease(event);
}

// The "kc" value: it must begin with a number (after blanks and a sign) and
// name a key code; garbage must not press the key with code 0.
bool parseKeyCode(const char* text, int32_t* keycode)
{
    const char* start = text;
    while (isspace(static_cast<unsigned char>(*start)))
        ++start;
    const char* digits = start;
    if (*digits == '+' || *digits == '-')
        ++digits;
    if (!isdigit(static_cast<unsigned char>(*digits)))
        return false;
    const long long value = strtoll(start, nullptr, 10);
    if (value < 0 || value > 0xFFFF)
        return false;
    *keycode = static_cast<int32_t>(value);
    return true;
}

// A sequentially consistent store: the fence the tap callback relies on.
void setWatch(bool armed)
{
    watchPhysicalCapsOnce.store(armed, std::memory_order_seq_cst);
}

// Runs every complete line of the buffer and keeps the incomplete rest.
void takeLines(LineBuffer& lines)
{
    size_t lineStart = 0;
    if (lines.discarding) {
        const void* lf = memchr(lines.bytes, '\n', lines.pending);
        if (lf == nullptr) {
            lines.pending = 0;
            return;
        }
        lineStart = static_cast<size_t>(static_cast<const char*>(lf) - lines.bytes) + 1;
        lines.discarding = false;
    }
    for (;;) {
        const void* lf = memchr(lines.bytes + lineStart, '\n', lines.pending - lineStart);
        if (lf == nullptr)
            break;
        const size_t end = static_cast<size_t>(static_cast<const char*>(lf) - lines.bytes);
        lines.bytes[end] = '\0';
        processCommandLine(lines.bytes + lineStart);
        lineStart = end + 1;
    }
    lines.pending -= lineStart;
    memmove(lines.bytes, lines.bytes + lineStart, lines.pending);
    if (lines.pending >= kMaxPending) {
        lines.pending = 0;
        lines.discarding = true;
    }
}

enum class ReadResult { taken, retry, ended };

ReadResult readInto(LineBuffer& lines, int fd)
{
    const ssize_t n = read(fd, lines.bytes + lines.pending, kMaxPending - lines.pending);
    if (n < 0 && errno == EINTR)
        return ReadResult::retry;
    if (n <= 0)
        return ReadResult::ended;
    lines.pending += static_cast<size_t>(n);
    lines.bytes[lines.pending] = '\0';
    takeLines(lines);
    return ReadResult::taken;
}

// What one wait found, as poll() or select() tells it.
struct Readiness {
    int count = 0;         // < 0 failed (errno says why), 0 timed out
    bool input = false;    // readable, at its end, or failed: a read tells
    bool wake = false;
    bool refused = false;  // poll() would not watch the input descriptor
};

Readiness pollOnce(int inputFd, int wakeFd, int timeoutMs)
{
    pollfd fds[2] = {{inputFd, kInputEvents, 0}, {wakeFd, POLLIN, 0}};
    const nfds_t count = wakeFd >= 0 ? 2 : 1;
    Readiness ready;
    ready.count = gPoll(fds, count, timeoutMs);
    if (ready.count <= 0)
        return ready;
    ready.input = (fds[0].revents & kInputEvents) != 0;
    ready.refused = (fds[0].revents & POLLNVAL) != 0;
    ready.wake = count == 2 && (fds[1].revents & POLLIN) != 0;
    return ready;
}

Readiness selectOnce(int inputFd, int wakeFd, int timeoutMs)
{
    Readiness ready;
    if (inputFd >= FD_SETSIZE || wakeFd >= FD_SETSIZE) {
        errno = EINVAL;
        ready.count = -1;
        return ready;
    }
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(inputFd, &readable);
    if (wakeFd >= 0)
        FD_SET(wakeFd, &readable);
    timeval timeout{timeoutMs / 1000, static_cast<suseconds_t>(timeoutMs % 1000) * 1000};
    ready.count = select(std::max(inputFd, wakeFd) + 1, &readable, nullptr, nullptr, timeoutMs >= 0 ? &timeout : nullptr);
    if (ready.count <= 0)
        return ready;
    ready.input = FD_ISSET(inputFd, &readable);
    ready.wake = wakeFd >= 0 && FD_ISSET(wakeFd, &readable);
    return ready;
}

bool isOpen(int fd)
{
    return fcntl(fd, F_GETFD) != -1 || errno != EBADF;
}

// Waits as poll() does. poll() answers POLLNVAL for a descriptor that is not
// open, and macOS's poll() for any device too, a terminal among them: one
// that is still open is watched with select() from then on. A refusal is
// left in the answer only for a closed descriptor.
Readiness waitForInput(int inputFd, int wakeFd, int timeoutMs, bool& useSelect)
{
    if (!useSelect) {
        const Readiness polled = pollOnce(inputFd, wakeFd, timeoutMs);
        if (!polled.refused || polled.wake || !isOpen(inputFd))
            return polled;
        useSelect = true;
    }
    return selectOnce(inputFd, wakeFd, timeoutMs);
}

ReaderEnd inputEnded()
{
    gParentEofDetected.exchange(1);
    return ReaderEnd::inputEnded;
}

void drainWakeBytes(int fd)
{
    char scratch[16];
    ssize_t ignored = read(fd, scratch, sizeof scratch);
    (void)ignored;
}

}  // namespace

int32_t macToVK(uint32_t keycode)
{
    if (keycode > 49)
        return -1;
    return kVirtualKeys[keycode];
}

void simulateKey(int32_t keycode)
{
    const CGKeyCode code = static_cast<CGKeyCode>(keycode & 0xFFFF);
    postKey(code, true);
    postKey(code, false);
}

void processCommandLine(const char* line)
{
    if (strstr(line, "\"c\":\"watch-caps\"") != nullptr) {
        setWatch(true);
        return;
    }
    if (strstr(line, "\"c\":\"unwatch-caps\"") != nullptr) {
        setWatch(false);
        return;
    }
    if (strstr(line, "\"c\":\"reset\"") != nullptr) {
        gResetRequested.exchange(1);
        return;
    }
    const char* kc = strstr(line, "\"kc\":");
    if (kc == nullptr)
        return;
    int32_t keycode = 0;
    if (parseKeyCode(kc + 5, &keycode))
        simulateKey(keycode);
}

void takeInput(LineBuffer& lines, const char* bytes, size_t count)
{
    const size_t taken = std::min(count, kMaxPending - lines.pending);
    memcpy(lines.bytes + lines.pending, bytes, taken);
    lines.pending += taken;
    lines.bytes[lines.pending] = '\0';
    takeLines(lines);
}

ReaderEnd readCommands(int inputFd, int wakeFd, int parentCheckMs)
{
    LineBuffer lines;
    bool useSelect = false;
    for (;;) {
        if (gStopRequested.load() != 0)
            return ReaderEnd::stopRequested;
        const Readiness ready = waitForInput(inputFd, wakeFd, parentCheckMs > 0 ? parentCheckMs : -1, useSelect);
        if (ready.count < 0 && errno == EINTR)
            continue;
        if (ready.count < 0)
            return ReaderEnd::pollFailed;
        if (ready.count == 0) {
            if (!isParentAlive())
                return ReaderEnd::parentGone;
            continue;
        }
        if (ready.wake) {
            drainWakeBytes(wakeFd);
            return ReaderEnd::woken;
        }
        // A descriptor that is not open never becomes readable: that is an end too.
        if (ready.refused)
            return inputEnded();
        if (!ready.input)
            continue;
        if (readInto(lines, inputFd) == ReadResult::ended)
            return inputEnded();
    }
}

void* stdinReader(void*)
{
    readCommands(STDIN_FILENO, gSignalPipe[0].load(), readerParentCheckMs);
    readerEnded.store(true);
    if (gMainRunLoop != nullptr && !readerFinishing.load())
        CFRunLoopStop(gMainRunLoop);
    return nullptr;
}

bool stdinReaderEnded()
{
    return readerEnded.load();
}

bool startStdinThread(bool watchParent)
{
    readerParentCheckMs = watchParent ? 2000 : -1;
    stdinThreadStarted = gStartThread(&stdinThread, nullptr, stdinReader, nullptr) == 0;
    stdinThreadFailed = !stdinThreadStarted;
    return stdinThreadStarted;
}

void finishStdinThread()
{
    if (!stdinThreadStarted)
        return;
    stdinThreadStarted = false;
    const int wakeFd = gSignalPipe[1].load();
    if (wakeFd < 0) {
        // Nothing can wake it; the process ends without it, as it always could.
        pthread_detach(stdinThread);
        return;
    }
    readerFinishing.store(true);
    const char wake = 1;
    ssize_t ignored = write(wakeFd, &wake, 1);
    (void)ignored;
    pthread_join(stdinThread, nullptr);
    readerFinishing.store(false);
}

void readStdinWithoutThread()
{
    if (!stdinThreadFailed || gParentEofDetected.load() != 0)
        return;
    for (int reads = 0; reads < kMaxReadsWithoutThread; ++reads) {
        const Readiness ready = waitForInput(STDIN_FILENO, -1, 0, selectWithoutThread);
        if (ready.count < 0 && errno == EINTR)
            continue;
        if (ready.count <= 0)
            return;
        if (ready.refused) {
            inputEnded();
            return;
        }
        if (!ready.input)
            return;
        if (readInto(linesWithoutThread, STDIN_FILENO) == ReadResult::ended) {
            inputEnded();
            return;
        }
    }
}

void resetStdinReaderGlobals()
{
    watchPhysicalCapsOnce.store(false);
    gStartThread = pthread_create;
    gPoll = poll;
    selectWithoutThread = false;
    stdinThreadStarted = false;
    stdinThreadFailed = false;
    readerEnded.store(false);
    readerParentCheckMs = -1;
    linesWithoutThread = LineBuffer{};
}
