#include "bench_support.h"

#include "lines.h"

#include <unistd.h>

#include <algorithm>

namespace kwbench {

DrainedPipe::DrainedPipe()
{
    int ends[2];
    if (pipe(ends) != 0)
        return;
    readEnd_ = ends[0];
    writeStream_ = fdopen(ends[1], "w");
    // As keywatch makes its standard output.
    setvbuf(writeStream_, nullptr, _IONBF, 0);
    setLineOutput(writeStream_);
    drainer_ = std::thread([fd = readEnd_] {
        char chunk[4096];
        while (read(fd, chunk, sizeof chunk) > 0) {
        }
    });
}

DrainedPipe::~DrainedPipe()
{
    setLineOutput(nullptr);
    if (writeStream_ != nullptr)
        fclose(writeStream_);
    if (drainer_.joinable())
        drainer_.join();
    if (readEnd_ >= 0)
        close(readEnd_);
}

void printFigures(const char* what, std::vector<Nanoseconds> samples)
{
    if (samples.empty())
        return;
    std::sort(samples.begin(), samples.end());
    const auto at = [&](double fraction) {
        const size_t index = std::min(samples.size() - 1, static_cast<size_t>(fraction * double(samples.size())));
        return double(samples[index].count()) / 1000.0;
    };
    printf("%-40s n=%zu  median %.2f us  p99 %.2f us  max %.2f us\n", what, samples.size(), at(0.5), at(0.99),
           double(samples.back().count()) / 1000.0);
}

}  // namespace kwbench
