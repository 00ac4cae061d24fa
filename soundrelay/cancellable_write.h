// PCM writes that the teardown of a recording can interrupt: a host that
// stops reading descriptor 3 must not wedge "stop".
#pragma once

#include <atomic>
#include <cstddef>

namespace recorder {

// Raised by the command loop when a recording is torn down, lowered when
// the next one starts; writers wait on fd() beside their descriptor.
class WriteCancel {
public:
    WriteCancel();
    ~WriteCancel();

    WriteCancel(const WriteCancel&) = delete;
    WriteCancel& operator=(const WriteCancel&) = delete;

    void raise();
    void lower();
    bool isRaised() const;
    // Readable while raised; -1 when none could be made.
    int fd() const { return readEnd_; }

private:
    // A pipe rather than a counter descriptor: every system we build for has
    // one. Both ends are non-blocking, so raise() and lower() never wait.
    int readEnd_ = -1;
    int writeEnd_ = -1;
    std::atomic<bool> raised_{false};
};

enum class WriteResult { Written, Failed, Cancelled };

// Writes all `size` bytes (an even number) in pieces of at most PIPE_BUF,
// each once the descriptor polls writable, so that no write blocks. A
// raised cancel ends the wait for a descriptor that takes nothing, never a
// piece that can go at once, and only where an even number of bytes has
// gone out.
WriteResult writeAllUnlessCancelled(int fd, const void* data, size_t size, const WriteCancel& cancel);

}  // namespace recorder
