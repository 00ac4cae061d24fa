#include "tap_guard.h"

#include <fcntl.h>
#include <linux/input.h>
#include <poll.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <new>

namespace evdev {

struct TapGuard::Shared {
    std::atomic<int64_t> lastRead{0}; // CLOCK_MONOTONIC, nanoseconds
    std::atomic<uint32_t> takeovers{0};
};

static_assert(std::atomic<int64_t>::is_always_lock_free && std::atomic<uint32_t>::is_always_lock_free,
              "the page shared with the guard needs lock-free atomics");

namespace {

enum Op : int32_t { kWatch = 1, kForget, kGrabbed, kUngrabbed };

struct Message {
    int32_t op = 0;
    int32_t slot = -1;
};

constexpr int kSlots = 256;
constexpr int64_t kLimitNs = std::chrono::nanoseconds(kGuardLimit).count();
constexpr uint64_t kSocketTag = ~uint64_t{0};

int64_t monotonicNs()
{
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return int64_t{now.tv_sec} * 1'000'000'000 + now.tv_nsec;
}

// The guard process. It runs in the child of a process that may have
// other threads, so it makes system calls only: no allocation, no locks.
class Guard {
public:
    Guard(int socket, TapGuard::Shared* shared) : socket_(socket), shared_(shared) {}

    [[noreturn]] void run()
    {
        epoll_ = ::epoll_create1(EPOLL_CLOEXEC);
        if (epoll_ < 0 || !add(socket_, kSocketTag)) {
            ::_exit(0);
        }
        epoll_event ready[16];
        for (;;) {
            const int count = ::epoll_wait(epoll_, ready, 16, millisecondsToDeadline());
            if (count < 0 && errno != EINTR) {
                ::_exit(0);
            }
            const int64_t now = monotonicNs();
            for (int i = 0; i < count; ++i) {
                if (ready[i].data.u64 == kSocketTag) {
                    takeMessages();
                } else {
                    noticeData(static_cast<int>(ready[i].data.u64), now);
                }
            }
            if (stalled(now)) {
                takeOver();
            }
        }
    }

private:
    struct Slot {
        int keyboard = -1;
        int output = -1;
        bool grabbed = false;
        bool waiting = false;    // data came that keywatch may not have read
        int64_t waitingSince = 0;
    };

    bool add(int fd, uint64_t tag)
    {
        epoll_event entry{};
        entry.events = EPOLLIN | EPOLLET; // a wake-up for each new event packet
        entry.data.u64 = tag;
        return ::epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &entry) == 0;
    }

    void stopWatching(Slot& slot)
    {
        if (slot.grabbed && slot.keyboard >= 0) {
            ::epoll_ctl(epoll_, EPOLL_CTL_DEL, slot.keyboard, nullptr);
        }
        slot.grabbed = false;
        slot.waiting = false;
    }

    void close(Slot& slot)
    {
        stopWatching(slot);
        for (int* fd : {&slot.keyboard, &slot.output}) {
            if (*fd >= 0) {
                ::close(*fd);
                *fd = -1;
            }
        }
    }

    // keywatch closed its end or died: go, and with this process's files
    // the grabs go too, unless keywatch still holds them itself.
    void takeMessages()
    {
        for (;;) {
            Message message;
            int fds[2] = {-1, -1};
            const ssize_t length = receive(message, fds);
            if (length < 0 && (errno == EAGAIN || errno == EINTR)) {
                return;
            }
            if (length <= 0) {
                ::_exit(0);
            }
            apply(message, fds);
        }
    }

    ssize_t receive(Message& message, int (&fds)[2])
    {
        iovec data{&message, sizeof message};
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof fds)];
        msghdr header{};
        header.msg_iov = &data;
        header.msg_iovlen = 1;
        header.msg_control = control;
        header.msg_controllen = sizeof control;
        const ssize_t length = ::recvmsg(socket_, &header, MSG_DONTWAIT | MSG_CMSG_CLOEXEC);
        if (length <= 0) {
            return length;
        }
        for (cmsghdr* part = CMSG_FIRSTHDR(&header); part != nullptr; part = CMSG_NXTHDR(&header, part)) {
            if (part->cmsg_level == SOL_SOCKET && part->cmsg_type == SCM_RIGHTS) {
                const size_t count = (part->cmsg_len - CMSG_LEN(0)) / sizeof(int);
                std::memcpy(fds, CMSG_DATA(part), (count < 2 ? count : 2) * sizeof(int));
            }
        }
        return length;
    }

    void apply(const Message& message, const int (&fds)[2])
    {
        if (message.slot < 0 || message.slot >= kSlots) {
            for (const int fd : fds) {
                if (fd >= 0) {
                    ::close(fd);
                }
            }
            return;
        }
        Slot& slot = slots_[message.slot];
        switch (message.op) {
        case kWatch:
            close(slot);
            slot.keyboard = fds[0];
            slot.output = fds[1];
            break;
        case kForget:
            close(slot);
            break;
        case kGrabbed:
            if (!slot.grabbed && slot.keyboard >= 0 && add(slot.keyboard, static_cast<uint64_t>(message.slot))) {
                slot.grabbed = true;
            }
            break;
        case kUngrabbed:
            stopWatching(slot);
            break;
        default:
            break;
        }
    }

    // The clock starts at the first packet keywatch has not read since.
    void noticeData(int index, int64_t now)
    {
        Slot& slot = slots_[index];
        if (!slot.grabbed) {
            return;
        }
        if (!slot.waiting || shared_->lastRead.load(std::memory_order_acquire) >= slot.waitingSince) {
            slot.waiting = true;
            slot.waitingSince = now;
        }
    }

    bool stalled(int64_t now)
    {
        const int64_t lastRead = shared_->lastRead.load(std::memory_order_acquire);
        bool stalled = false;
        for (Slot& slot : slots_) {
            if (!slot.waiting) {
                continue;
            }
            if (lastRead >= slot.waitingSince || !readable(slot.keyboard)) {
                slot.waiting = false; // read meanwhile; a later packet restarts the clock
                continue;
            }
            stalled = stalled || now - slot.waitingSince >= kLimitNs;
        }
        return stalled;
    }

    int millisecondsToDeadline() const
    {
        int64_t deadline = -1;
        for (const Slot& slot : slots_) {
            if (slot.waiting && (deadline < 0 || slot.waitingSince + kLimitNs < deadline)) {
                deadline = slot.waitingSince + kLimitNs;
            }
        }
        if (deadline < 0) {
            return -1;
        }
        const int64_t left = deadline - monotonicNs();
        return left <= 0 ? 0 : static_cast<int>((left + 999'999) / 1'000'000);
    }

    static bool readable(int fd)
    {
        pollfd entry{fd, POLLIN, 0};
        return ::poll(&entry, 1, 0) > 0 && (entry.revents & POLLIN) != 0;
    }

    // What waits goes out as it came, then every grab goes and every key
    // the virtual keyboards hold is released: a key still held now would
    // otherwise stay down there, since its release reaches applications
    // straight from the keyboard.
    void takeOver()
    {
        for (Slot& slot : slots_) {
            if (slot.grabbed) {
                forwardWaiting(slot);
                ::ioctl(slot.keyboard, EVIOCGRAB, 0);
                if (slot.output >= 0) {
                    releaseAllKeys(slot.output);
                }
                stopWatching(slot);
            }
        }
        shared_->takeovers.fetch_add(1, std::memory_order_release);
    }

    static void forwardWaiting(const Slot& slot)
    {
        input_event read[64];
        input_event out[128];
        for (;;) {
            const ssize_t length = ::read(slot.keyboard, read, sizeof read);
            if (length <= 0) {
                return;
            }
            size_t count = 0;
            for (size_t i = 0; i < static_cast<size_t>(length) / sizeof(input_event); ++i) {
                if (read[i].type == EV_KEY && read[i].value >= 0 && read[i].value <= 2) {
                    out[count++] = event(EV_KEY, read[i].code, read[i].value);
                    out[count++] = event(EV_SYN, SYN_REPORT, 0);
                }
            }
            if (slot.output >= 0 && count > 0) {
                writeAll(slot.output, out, count);
            }
        }
    }

    // The kernel passes on only the releases of keys that are down.
    static void releaseAllKeys(int output)
    {
        input_event out[128];
        size_t count = 0;
        for (uint16_t code = 1; code <= KEY_MAX; ++code) {
            out[count++] = event(EV_KEY, code, 0);
            out[count++] = event(EV_SYN, SYN_REPORT, 0);
            if (count == 128) {
                writeAll(output, out, count);
                count = 0;
            }
        }
        writeAll(output, out, count);
    }

    static input_event event(uint16_t type, uint16_t code, int32_t value)
    {
        input_event made{};
        made.type = type;
        made.code = code;
        made.value = value;
        return made;
    }

    static void writeAll(int fd, const input_event* events, size_t count)
    {
        if (count > 0) {
            [[maybe_unused]] const ssize_t written = ::write(fd, events, count * sizeof(input_event));
        }
    }

    int socket_;
    TapGuard::Shared* shared_;
    int epoll_ = -1;
    Slot slots_[kSlots];
};

// Nothing of keywatch's but the socket stays open in the guard: a pipe of
// the host's held here would outlive keywatch. Returns the socket's new
// number.
int keepOnly(int socket)
{
    constexpr int kSocketFd = 3;
    if (socket != kSocketFd && ::dup2(socket, kSocketFd) < 0) {
        ::_exit(0);
    }
    const int null = ::open("/dev/null", O_RDWR);
    for (int fd = 0; fd <= 2; ++fd) {
        ::dup2(null, fd);
    }
    if (::syscall(SYS_close_range, kSocketFd + 1, ~0U, 0) != 0) {
        for (int fd = kSocketFd + 1; fd < 4096; ++fd) {
            ::close(fd);
        }
    }
    return kSocketFd;
}

[[noreturn]] void becomeGuard(int socket, TapGuard::Shared* shared)
{
    ::setpgid(0, 0);
    for (const int signal : {SIGINT, SIGHUP, SIGPIPE, SIGTSTP, SIGTTIN, SIGTTOU}) {
        ::signal(signal, SIG_IGN);
    }
    Guard guard(keepOnly(socket), shared);
    guard.run();
}

}  // namespace

std::shared_ptr<TapGuard> TapGuard::start()
{
    int ends[2];
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends) != 0) {
        return nullptr;
    }
    keys::UniqueFd ours(ends[0]);
    keys::UniqueFd theirs(ends[1]);
    void* page = ::mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (page == MAP_FAILED) {
        return nullptr;
    }
    auto* shared = new (page) Shared;
    const pid_t pid = ::fork();
    if (pid == 0) {
        becomeGuard(theirs.get(), shared);
    }
    if (pid < 0) {
        ::munmap(page, sizeof(Shared));
        return nullptr;
    }
    return std::shared_ptr<TapGuard>(new TapGuard(std::move(ours), shared, pid));
}

TapGuard::TapGuard(keys::UniqueFd socket, Shared* shared, pid_t pid)
    : socket_(std::move(socket))
    , shared_(shared)
    , pid_(pid)
{
}

// The guard ends once it reads the end of the socket. It is waited for
// briefly: a guard that cannot run is left to be reaped after keywatch.
TapGuard::~TapGuard()
{
    ::shutdown(socket_.get(), SHUT_RDWR);
    const keys::UniqueFd exited(static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0)));
    pollfd entry{exited.get(), POLLIN, 0};
    if (exited.get() >= 0 && ::poll(&entry, 1, 250) == 1) {
        ::waitpid(pid_, nullptr, 0);
    }
    ::munmap(shared_, sizeof(Shared));
}

bool TapGuard::send(int op, int slot, const int* fds, int fdCount)
{
    Message message{op, slot};
    iovec data{&message, sizeof message};
    alignas(cmsghdr) char control[CMSG_SPACE(2 * sizeof(int))] = {};
    msghdr header{};
    header.msg_iov = &data;
    header.msg_iovlen = 1;
    if (fdCount > 0) {
        header.msg_control = control;
        header.msg_controllen = CMSG_SPACE(static_cast<size_t>(fdCount) * sizeof(int));
        cmsghdr* part = CMSG_FIRSTHDR(&header);
        part->cmsg_level = SOL_SOCKET;
        part->cmsg_type = SCM_RIGHTS;
        part->cmsg_len = CMSG_LEN(static_cast<size_t>(fdCount) * sizeof(int));
        std::memcpy(CMSG_DATA(part), fds, static_cast<size_t>(fdCount) * sizeof(int));
    }
    return ::sendmsg(socket_.get(), &header, MSG_NOSIGNAL | MSG_DONTWAIT) == static_cast<ssize_t>(sizeof message);
}

int TapGuard::watch(int keyboardFd, int virtualFd)
{
    std::lock_guard lock(mutex_);
    for (int slot = 0; slot < kSlots; ++slot) {
        uint64_t& word = usedSlots_[slot / 64];
        const uint64_t bit = uint64_t{1} << (slot % 64);
        if ((word & bit) != 0) {
            continue;
        }
        const int fds[2] = {keyboardFd, virtualFd};
        if (!send(kWatch, slot, fds, virtualFd >= 0 ? 2 : 1)) {
            return -1;
        }
        word |= bit;
        return slot;
    }
    return -1;
}

void TapGuard::forget(int slot)
{
    if (slot < 0 || slot >= kSlots) {
        return;
    }
    std::lock_guard lock(mutex_);
    usedSlots_[slot / 64] &= ~(uint64_t{1} << (slot % 64));
    send(kForget, slot, nullptr, 0);
}

void TapGuard::setGrabbed(int slot, bool grabbed)
{
    if (slot < 0 || slot >= kSlots) {
        return;
    }
    std::lock_guard lock(mutex_);
    send(grabbed ? kGrabbed : kUngrabbed, slot, nullptr, 0);
}

void TapGuard::noteRead() { shared_->lastRead.store(monotonicNs(), std::memory_order_release); }

uint32_t TapGuard::takeovers() const { return shared_->takeovers.load(std::memory_order_acquire); }

}  // namespace evdev
