// A RECORD context that sees every key press and release on the display:
// one connection creates the context, a second one receives the recorded
// data; both are read only when their descriptors are readable.
#pragma once

#include "bounded_wait.h"
#include "keyboard_query.h"
#include "xcb_handles.h"

#include <xcb/record.h>

#include <cstdint>
#include <memory>
#include <vector>

namespace x11 {

struct RecordedKey {
    bool press = false;
    uint8_t keycode = 0;
};

class RecordTap {
public:
    // Whether the display would make a context, without recording.
    static bool canRecord();

    // Starts recording; null when no display answers or it will not record.
    static std::unique_ptr<RecordTap> open();

    RecordTap(const RecordTap&) = delete;
    RecordTap& operator=(const RecordTap&) = delete;
    ~RecordTap();

    // Readable when recorded data has arrived or the connection broke.
    int dataDescriptor() const { return xcb_get_file_descriptor(data_.get()); }
    // Readable when the root window's key events arrive, which go with the
    // recorded data, or when the connection broke.
    int controlDescriptor() const { return xcb_get_file_descriptor(control_.get()); }

    // The keyboard as it was just before recording began.
    const KeyboardSnapshot& startState() const { return startState_; }

    // Appends what has been recorded so far, oldest first, without waiting.
    void drain(std::vector<RecordedKey>& into);

    // False once either connection has failed, the server ended the
    // recording or did not take a request in time; it never becomes true
    // again.
    bool working() const;

private:
    RecordTap(Connection control, Connection data, xcb_record_context_t context,
              xcb_record_enable_context_cookie_t enabled, const KeyboardSnapshot& startState);
    void takeReply(const xcb_record_enable_context_reply_t& reply, std::vector<RecordedKey>& into);
    void awaitEnd(Deadline deadline);
    void nudgeFlush();

    Connection control_;
    Connection data_;
    xcb_record_context_t context_;
    xcb_record_enable_context_cookie_t enabled_;
    KeyboardSnapshot startState_;
    bool ended_ = false;
    bool stalled_ = false;
};

}  // namespace x11
