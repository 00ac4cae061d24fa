// soundrelay's line reader under any cutting of its input into reads: the
// lines it yields must be those of a plain reference split, a line beyond
// the limit must come out as one refusal without its text, and such a line
// must never be held in memory whole.
//
// Input: a limit byte (255 is the real 1 MiB limit, else 0..127 bytes), a
// byte whose low six bits repeat the body up to 64 times (long lines from
// short inputs) and whose top bit makes the descriptor non-blocking, then
// the body and its read sizes (fuzz_support.h).
#include "fuzz_support.h"
#include "line_reader.h"

#include <fcntl.h>
#include <sanitizer/allocator_interface.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>

namespace {

using recorder::InputLine;
using recorder::LineReader;

constexpr size_t kReadSize = 4096;  // what the reader asks for per read

std::atomic<bool> measuring{false};
std::atomic<size_t> largestAllocation{0};

void onMalloc(const volatile void*, size_t size)
{
    if (!measuring.load(std::memory_order_relaxed)) {
        return;
    }
    size_t seen = largestAllocation.load(std::memory_order_relaxed);
    while (size > seen && !largestAllocation.compare_exchange_weak(seen, size)) {
    }
}

void onFree(const volatile void*) {}

// The lines of `stream` as the reader must give them: LF ends a line and
// one CR before it goes with it; a last line without LF keeps its bytes.
std::vector<InputLine> referenceLines(std::string_view stream, size_t limit)
{
    std::vector<InputLine> lines;
    size_t at = 0;
    while (at < stream.size()) {
        const size_t lf = stream.find('\n', at);
        std::string_view text = stream.substr(at, lf == std::string_view::npos ? std::string_view::npos : lf - at);
        if (lf != std::string_view::npos && !text.empty() && text.back() == '\r') {
            text.remove_suffix(1);
        }
        const bool overlong = text.size() > limit;
        lines.push_back(InputLine{overlong ? std::string() : std::string(text), overlong});
        if (lf == std::string_view::npos) {
            break;
        }
        at = lf + 1;
    }
    return lines;
}

// Each read of the reader takes exactly one record of a packet socket, so
// the record sizes are the read boundaries.
void writeRecords(int fd, std::string_view stream, const fuzz::Chunked& chunks)
{
    size_t at = 0;
    for (size_t n = 0; at < stream.size(); ++n) {
        const size_t count = std::min({chunks.size(n), kReadSize, stream.size() - at});
        if (::write(fd, stream.data() + at, count) != static_cast<ssize_t>(count)) {
            fuzz::fail("the test socket takes every record");
        }
        at += count;
    }
    ::close(fd);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    __sanitizer_install_malloc_and_free_hooks(onMalloc, onFree);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 2) {
        return 0;
    }
    const size_t limit = data[0] == 0xFF ? LineReader::kMaxLineBytes : data[0] % 128;
    const size_t repeats = 1 + (data[1] & 0x3F);
    const bool nonBlocking = (data[1] & 0x80) != 0;
    const fuzz::Chunked chunks = fuzz::splitChunked(data + 2, size - 2);
    std::string stream;
    for (size_t i = 0; i < repeats; ++i) {
        stream.append(chunks.body);
    }
    const std::vector<InputLine> expected = referenceLines(stream, limit);

    int ends[2];
    fuzz::require(::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends) == 0, "a socket pair");
    if (nonBlocking) {
        ::fcntl(ends[0], F_SETFL, O_NONBLOCK);
    }
    std::thread writer(writeRecords, ends[1], std::string_view(stream), std::cref(chunks));

    std::vector<InputLine> got;
    got.reserve(expected.size() + 1);  // only the reader's allocations are measured
    largestAllocation = 0;
    measuring = true;
    {
        LineReader reader(ends[0], limit);
        while (auto line = reader.next()) {
            got.push_back(std::move(*line));
            fuzz::require(got.size() <= expected.size(), "no more lines than the reference split");
        }
        fuzz::require(!reader.next().has_value(), "the end of input stays the end");
    }
    measuring = false;
    writer.join();
    ::close(ends[0]);

    fuzz::require(got.size() == expected.size(), "as many lines as the reference split");
    for (size_t i = 0; i < got.size(); ++i) {
        fuzz::require(got[i].overlong == expected[i].overlong, "a line is refused exactly when beyond the limit");
        fuzz::require(got[i].text == expected[i].text, "each line's text as the reference split has it");
    }
    // The buffer holds at most the limit and one read before it refuses;
    // a string's doubling may take twice that.
    const size_t bound = 2 * (limit + 1 + kReadSize) + 64;
    fuzz::require(largestAllocation.load() <= bound, "an overlong line is never held whole");
    return 0;
}
