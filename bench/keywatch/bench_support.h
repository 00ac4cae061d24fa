// What the keywatch benchmarks share: a drained pipe for the lines, and
// percentiles of measured durations.
#pragma once

#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

namespace kwbench {

// Lines go into a pipe whose other end a thread reads and discards, so that
// writes cost what they cost on the host's pipe and never block.
class DrainedPipe {
public:
    DrainedPipe();
    ~DrainedPipe();
    DrainedPipe(const DrainedPipe&) = delete;
    DrainedPipe& operator=(const DrainedPipe&) = delete;

private:
    int readEnd_ = -1;
    FILE* writeStream_ = nullptr;
    std::thread drainer_;
};

using Nanoseconds = std::chrono::nanoseconds;

// Prints the median and the 99th percentile of the samples.
void printFigures(const char* what, std::vector<Nanoseconds> samples);

}  // namespace kwbench
