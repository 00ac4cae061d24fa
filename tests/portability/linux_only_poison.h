// Forced ahead of every file of the programs' logic in the portability
// check. The headers a portable program may use come in first, so that
// their own mentions of these names are already behind us; after that, any
// use of a call, flag or header that only Linux has stops the build.
#pragma once

#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#ifdef __cplusplus
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>
#endif

// Descriptors of kinds only Linux has.
#pragma GCC poison eventfd eventfd_read eventfd_write
#pragma GCC poison epoll_create epoll_create1 epoll_ctl epoll_wait epoll_pwait
#pragma GCC poison signalfd timerfd_create timerfd_settime timerfd_gettime
#pragma GCC poison inotify_init inotify_init1 inotify_add_watch memfd_create
#pragma GCC poison pidfd_open pidfd_send_signal pidfd_getfd
// Calls and flags with no counterpart elsewhere.
#pragma GCC poison pipe2 dup3 accept4 ppoll splice tee vmsplice sendfile
#pragma GCC poison prctl syscall gettid sched_getcpu get_nprocs
// Flags the headers above define as macros are undefined first, so that
// poisoning them is not itself a warning.
#undef F_SETPIPE_SZ
#undef F_GETPIPE_SZ
#undef F_SETSIG
#undef O_PATH
#undef O_TMPFILE
#undef MSG_NOSIGNAL
#undef MSG_MORE
#undef SOCK_CLOEXEC
#undef SOCK_NONBLOCK
#undef CLOCK_BOOTTIME
#undef CLOCK_MONOTONIC_COARSE
#undef CLOCK_REALTIME_COARSE
#undef TEMP_FAILURE_RETRY
#pragma GCC poison F_SETPIPE_SZ F_GETPIPE_SZ F_SETSIG O_PATH O_TMPFILE
#pragma GCC poison MSG_NOSIGNAL MSG_MORE SOCK_CLOEXEC SOCK_NONBLOCK
#pragma GCC poison CLOCK_BOOTTIME CLOCK_MONOTONIC_COARSE CLOCK_REALTIME_COARSE
#pragma GCC poison TEMP_FAILURE_RETRY program_invocation_name
