// Helpers shared by the stand-in tests.
#pragma once

#include <CoreFoundation/CoreFoundation.h>

#include <chrono>
#include <functional>

namespace pump {

constexpr std::chrono::seconds kBound{5};

// Runs the current thread's loop in the default mode, a short step at a
// time, until `done` holds or the bound passes. Returns `done()`.
bool until(const std::function<bool()>& done, std::chrono::milliseconds bound = kBound);

// Waits, without running any loop, until `done` holds or the bound
// passes. For conditions no descriptor or line announces, such as another
// thread's loop starting to wait.
bool waitFor(const std::function<bool()>& done, std::chrono::milliseconds bound = kBound);

// One pass of the current thread's loop: due timers and ready sources.
CFRunLoopRunResult once();

// A pipe whose ends close with it.
struct Pipe {
    Pipe();
    ~Pipe();
    Pipe(const Pipe&) = delete;
    Pipe& operator=(const Pipe&) = delete;
    void put(char byte = 'x') const;
    bool take() const; // reads one byte; false when none
    int readEnd = -1;
    int writeEnd = -1;
};

} // namespace pump
