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

}  // namespace testsupport
