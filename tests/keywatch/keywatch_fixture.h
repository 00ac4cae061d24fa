// In-process tests of keywatch against the simulated keyboard: a fresh
// keyboard and fresh globals for every test, the lines captured in memory.
#pragma once

#include "sim_backend.h"

#include <CoreGraphics/CoreGraphics.h>
#include <gtest/gtest.h>
#include <sys/types.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace kwtest {

using namespace std::chrono_literals;

// Collects what keywatch writes, for reading back line by line.
class CapturedLines {
public:
    CapturedLines();
    ~CapturedLines();
    CapturedLines(const CapturedLines&) = delete;
    CapturedLines& operator=(const CapturedLines&) = delete;

    // The complete lines written since the last call, without their LF.
    std::vector<std::string> take();
    // Everything written so far, byte for byte.
    std::string all();

private:
    char* buffer_ = nullptr;
    size_t size_ = 0;
    FILE* stream_ = nullptr;
    size_t consumed_ = 0;
};

// Runs the current thread's run loop until `done` holds; false after the timeout.
bool pumpUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout = 2000ms);

// The pid of a process that has ended and been reaped.
pid_t deadPid();

// The argv of a command line, as keywatch's entry receives it.
class Words {
public:
    explicit Words(std::vector<std::string> words);
    int argc() const { return static_cast<int>(pointers_.size()) - 1; }
    char** argv() { return pointers_.data(); }

private:
    std::vector<std::string> words_;
    std::vector<char*> pointers_;
};

class KeywatchTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // The options as a command line would give them (no program name).
    void configure(const std::vector<std::string>& words);
    // The tap as start-up installs it, in the current thread's run loop.
    void installTap();

    // Sends one event through the tap and waits until it and everything it
    // injected are settled. Returns what became of it.
    sim::Delivery send(CGEventType type, CGKeyCode keyCode, CGEventFlags flags = 0);
    // Waits until the tap has taken whatever is queued for it.
    void settle();

    std::shared_ptr<sim::Keyboard> keyboard;
    std::unique_ptr<CapturedLines> lines;
};

}  // namespace kwtest
