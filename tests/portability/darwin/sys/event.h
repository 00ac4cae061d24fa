// Stand-in for the kernel event queue header of macOS, for the portability
// check only: the declarations the tests' support uses, as kqueue(2)
// describes them. Never part of a build that runs.
#pragma once

#include <stdint.h>
#include <time.h>

struct kevent {
    uintptr_t ident;
    int16_t filter;
    uint16_t flags;
    uint32_t fflags;
    intptr_t data;
    void* udata;
};

#define EVFILT_PROC (-5)
#define EV_ADD 0x0001
#define EV_ONESHOT 0x0010
#define NOTE_EXIT 0x80000000U

#define EV_SET(kevp, a, b, c, d, e, f) \
    do {                               \
        struct kevent* kev_ = (kevp);  \
        kev_->ident = (a);             \
        kev_->filter = (b);            \
        kev_->flags = (c);             \
        kev_->fflags = (d);            \
        kev_->data = (e);              \
        kev_->udata = (f);             \
    } while (0)

extern "C" {
int kqueue(void);
int kevent(int kq, const struct kevent* changelist, int nchanges, struct kevent* eventlist, int nevents,
           const struct timespec* timeout);
}
