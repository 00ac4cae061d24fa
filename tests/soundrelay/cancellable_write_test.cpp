// The PCM writer's descriptor loop: pieces, failures and cancellation.
#include "cancellable_write.h"
#include "pipes.h"

#include <poll.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <future>
#include <numeric>
#include <vector>

namespace recorder {
namespace {

using namespace std::chrono_literals;

struct TestPipe {
    TestPipe()
    {
        std::signal(SIGPIPE, SIG_IGN);
        int ends[2];
        EXPECT_EQ(testsupport::cloexecPipe(ends), 0);
        read = ends[0];
        write = ends[1];
    }
    ~TestPipe()
    {
        closeRead();
        ::close(write);
    }
    void closeRead()
    {
        if (read >= 0) {
            ::close(read);
            read = -1;
        }
    }
    // What the pipe holds now, without waiting.
    std::vector<char> drain()
    {
        std::vector<char> got;
        pollfd entry{read, POLLIN, 0};
        while (::poll(&entry, 1, 0) > 0 && (entry.revents & POLLIN) != 0) {
            char chunk[4096];
            const ssize_t n = ::read(read, chunk, sizeof chunk);
            if (n <= 0) {
                break;
            }
            got.insert(got.end(), chunk, chunk + n);
        }
        return got;
    }
    int read = -1;
    int write = -1;
};

std::vector<char> numbered(size_t size)
{
    std::vector<char> bytes(size);
    std::iota(bytes.begin(), bytes.end(), char{0});
    return bytes;
}

TEST(CancellableWrite, WritesABufferLargerThanAPieceWholeAndInOrder)
{
    TestPipe pipe;
    WriteCancel cancel;
    const auto bytes = numbered(20000);
    auto reader = std::async(std::launch::async, [&] {
        std::vector<char> got;
        while (got.size() < bytes.size()) {
            pollfd entry{pipe.read, POLLIN, 0};
            if (::poll(&entry, 1, 5000) <= 0) {
                break;
            }
            char chunk[4096];
            const ssize_t n = ::read(pipe.read, chunk, sizeof chunk);
            if (n <= 0) {
                break;
            }
            got.insert(got.end(), chunk, chunk + n);
        }
        return got;
    });
    EXPECT_EQ(writeAllUnlessCancelled(pipe.write, bytes.data(), bytes.size(), cancel), WriteResult::Written);
    EXPECT_EQ(reader.get(), bytes);
}

// A pipe that takes the bytes at once gets them even while cancelled; a
// full one gets nothing.
TEST(CancellableWrite, ARaisedCancelStopsOnlyWhatWouldWait)
{
#ifndef __linux__
    GTEST_SKIP() << "needs a pipe of a set capacity (F_SETPIPE_SZ)";
#endif
    TestPipe pipe;
    const int capacity = testsupport::setPipeCapacity(pipe.write, 4096);
    ASSERT_GT(capacity, 0);
    WriteCancel cancel;
    const auto bytes = numbered(static_cast<size_t>(capacity));
    cancel.raise();
    EXPECT_TRUE(cancel.isRaised());
    EXPECT_EQ(writeAllUnlessCancelled(pipe.write, bytes.data(), bytes.size(), cancel), WriteResult::Written);
    EXPECT_EQ(writeAllUnlessCancelled(pipe.write, bytes.data(), 2, cancel), WriteResult::Cancelled);
    EXPECT_EQ(pipe.drain(), bytes);
}

TEST(CancellableWrite, ALoweredCancelNoLongerEndsAWait)
{
    WriteCancel cancel;
    ASSERT_GE(cancel.fd(), 0);
    cancel.raise();
    cancel.raise();
    pollfd entry{cancel.fd(), POLLIN, 0};
    EXPECT_EQ(::poll(&entry, 1, 0), 1);
    cancel.lower();
    EXPECT_FALSE(cancel.isRaised());
    EXPECT_EQ(::poll(&entry, 1, 0), 0) << "a lowered cancel still reads as raised";
}

// The pipe holds less than the buffer and nobody reads: the write waits
// until the cancel, then stops on a piece boundary.
TEST(CancellableWrite, ACancelEndsAWriteStalledOnAFullPipe)
{
#ifndef __linux__
    GTEST_SKIP() << "needs a pipe of a set capacity (F_SETPIPE_SZ)";
#endif
    TestPipe pipe;
    const int capacity = testsupport::setPipeCapacity(pipe.write, 4096);
    ASSERT_GT(capacity, 0);
    WriteCancel cancel;
    const auto bytes = numbered(static_cast<size_t>(capacity) + 3 * 4096);
    auto writing = std::async(std::launch::async, [&] {
        return writeAllUnlessCancelled(pipe.write, bytes.data(), bytes.size(), cancel);
    });
    pollfd entry{pipe.read, POLLIN, 0};
    ASSERT_EQ(::poll(&entry, 1, 5000), 1);
    cancel.raise();
    ASSERT_EQ(writing.wait_for(2s), std::future_status::ready) << "the cancel did not end the write";
    EXPECT_EQ(writing.get(), WriteResult::Cancelled);
    const auto got = pipe.drain();
    EXPECT_EQ(got.size() % 2, 0u);
    EXPECT_LT(got.size(), bytes.size());
    EXPECT_TRUE(std::equal(got.begin(), got.end(), bytes.begin()));
}

TEST(CancellableWrite, AClosedReaderOrNoDescriptorFails)
{
    TestPipe pipe;
    WriteCancel cancel;
    const auto bytes = numbered(64);
    pipe.closeRead();
    EXPECT_EQ(writeAllUnlessCancelled(pipe.write, bytes.data(), bytes.size(), cancel), WriteResult::Failed);
    EXPECT_EQ(writeAllUnlessCancelled(-1, bytes.data(), bytes.size(), cancel), WriteResult::Failed);
}

}  // namespace
}  // namespace recorder
