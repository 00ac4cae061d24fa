// A listen-only tap made of a RECORD context. What the stand-in polls is an
// epoll descriptor over the recording's two connections and a wake-up
// counter: connections that broke are dropped from it so that they stop
// waking the run loop, and the counter makes the first poll read what libxcb
// may already hold from the moment recording began.
//
// The server has applied later keys by the time a recorded one is handled,
// so the system-wide flags come from the tap: those of the event the
// callback is handling, or of the last one it settled. Main thread only.
#pragma once

#include "backend.h"
#include "key_translator.h"
#include "delivered_flags.h"
#include "live_tap_list.h"
#include "record_tap.h"
#include "unique_fd.h"

#include <cstdint>
#include <memory>
#include <vector>

namespace x11 {

class RecordBackendTap;
using LiveRecordTaps = keys::LiveTapList<RecordBackendTap>;

class RecordBackendTap final : public standin::BackendTap {
public:
    // Null when no display answers or it will not record.
    static std::unique_ptr<RecordBackendTap> open(std::shared_ptr<LiveRecordTaps> liveTaps);
    ~RecordBackendTap() override;

    int eventFd() const override { return epoll_.get(); }
    std::vector<standin::TapEvent> takePending() override;
    // A listen-only tap: whatever the callback returned, the event went on.
    void settle(const standin::TapEvent& event, const standin::EventOutcome&) override;
    void setEnabled(bool enabled) override { enabled_ = enabled; }
    bool isEnabled() const override { return enabled_; }
    bool isValid() const override { return record_->working(); }

    CGEventFlags currentFlags() const { return delivered_.current(); }

private:
    RecordBackendTap(std::unique_ptr<RecordTap> record, UniqueFd epoll, UniqueFd wake,
                     std::shared_ptr<LiveRecordTaps> liveTaps);
    void stopWatchingIfBroken();

    std::unique_ptr<RecordTap> record_;
    KeyTranslator translator_;
    UniqueFd epoll_;
    UniqueFd wake_;
    std::shared_ptr<LiveRecordTaps> liveTaps_;
    keys::DeliveredFlags delivered_;
    std::vector<RecordedKey> recorded_;
    uint64_t nextId_ = 1;
    bool watching_ = true;
    bool enabled_ = false;
};

}  // namespace x11
