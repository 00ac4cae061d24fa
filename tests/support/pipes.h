// Descriptor pairs for tests, each end closed on exec, on every system the
// tests build on.
#pragma once

namespace testsupport {

// pipe() with both ends close-on-exec; 0, or -1 with errno set.
int cloexecPipe(int ends[2]);

// A connected local socket pair that keeps each write a record of its own;
// 0, or -1 with errno set. Only Linux has such a pair (AF_UNIX with
// SOCK_SEQPACKET): elsewhere it fails with EPROTONOSUPPORT.
int recordPair(int ends[2]);

// Sets the capacity of the pipe `fd` belongs to, for tests that need it full
// after a known number of bytes; the capacity it got (at least `bytes`), or
// -1 with errno set. Only Linux sets it (F_SETPIPE_SZ): elsewhere it fails
// with ENOTSUP.
int setPipeCapacity(int fd, int bytes);

}  // namespace testsupport
