#include "record_backend_tap.h"

#include "key_codes.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>

#include <cstdint>
#include <tuple>

namespace x11 {

namespace {

bool watchReadable(int epoll, int fd)
{
    epoll_event watch{};
    watch.events = EPOLLIN;
    watch.data.fd = fd;
    return ::epoll_ctl(epoll, EPOLL_CTL_ADD, fd, &watch) == 0;
}

}  // namespace

std::unique_ptr<RecordBackendTap> RecordBackendTap::open(std::shared_ptr<LiveRecordTaps> liveTaps)
{
    auto record = RecordTap::open();
    if (!record) {
        return nullptr;
    }
    UniqueFd epoll{::epoll_create1(EPOLL_CLOEXEC)};
    UniqueFd wake{::eventfd(1, EFD_CLOEXEC | EFD_NONBLOCK)};
    if (epoll.get() < 0 || wake.get() < 0) {
        return nullptr;
    }
    for (const int fd : {record->dataDescriptor(), record->controlDescriptor(), wake.get()}) {
        if (!watchReadable(epoll.get(), fd)) {
            return nullptr;
        }
    }
    return std::unique_ptr<RecordBackendTap>(
        new RecordBackendTap(std::move(record), std::move(epoll), std::move(wake), std::move(liveTaps)));
}

RecordBackendTap::RecordBackendTap(std::unique_ptr<RecordTap> record, UniqueFd epoll, UniqueFd wake,
                                   std::shared_ptr<LiveRecordTaps> liveTaps)
    : record_(std::move(record))
    , translator_(record_->startState())
    , epoll_(std::move(epoll))
    , wake_(std::move(wake))
    , liveTaps_(std::move(liveTaps))
    , delivered_(translator_.flags())
{
    liveTaps_->add(this);
}

RecordBackendTap::~RecordBackendTap()
{
    liveTaps_->remove(this);
}

std::vector<standin::TapEvent> RecordBackendTap::takePending()
{
    uint64_t wakes = 0;
    std::ignore = ::read(wake_.get(), &wakes, sizeof wakes);
    delivered_.startBatch();
    recorded_.clear();
    record_->drain(recorded_);
    std::vector<standin::TapEvent> events;
    events.reserve(recorded_.size());
    for (const RecordedKey& key : recorded_) {
        const auto event = translator_.translate(key.press, key.keycode);
        if (!event) {
            continue;
        }
        delivered_.handedOut(nextId_, event->flags);
        events.push_back(standin::TapEvent{nextId_++, static_cast<CGEventType>(event->type), event->keycode,
                                           event->flags});
    }
    stopWatchingIfBroken();
    return events;
}

void RecordBackendTap::settle(const standin::TapEvent& event, const standin::EventOutcome&)
{
    delivered_.settled(event.id);
}

// A broken connection stays readable for good; the run loop must not spin on it.
void RecordBackendTap::stopWatchingIfBroken()
{
    if (!watching_ || record_->working()) {
        return;
    }
    ::epoll_ctl(epoll_.get(), EPOLL_CTL_DEL, record_->dataDescriptor(), nullptr);
    ::epoll_ctl(epoll_.get(), EPOLL_CTL_DEL, record_->controlDescriptor(), nullptr);
    watching_ = false;
}

}  // namespace x11
