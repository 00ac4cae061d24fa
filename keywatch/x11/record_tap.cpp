#include "record_tap.h"

#include "display_connect.h"

#include <xcb/xcbext.h>

#include <poll.h>

#include <chrono>
#include <cstring>

namespace x11 {

namespace {

// Categories of the replies of an enabled context.
constexpr uint8_t kFromServer = 0;
constexpr uint8_t kEndOfData = 5;

// How long a nudge may wait for room in the socket before the server
// counts as gone.
constexpr std::chrono::milliseconds kFlushTimeout{100};

// Core device events are recorded as 32-byte wire events.
constexpr size_t kWireEventSize = 32;

// How long making a tap may wait for the server, all its requests together;
// a server that has not answered by then counts as gone.
constexpr std::chrono::milliseconds kOpenTimeout{250};

// How long a closing tap waits for the server to end its recording.
constexpr std::chrono::milliseconds kEndTimeout{200};

bool hasRecord(xcb_connection_t* connection, Deadline deadline)
{
    if (!hasExtensionBy(connection, &xcb_record_id, deadline)) {
        return false;
    }
    const auto cookie = xcb_record_query_version(connection, XCB_RECORD_MAJOR_VERSION, XCB_RECORD_MINOR_VERSION);
    return replyBy<xcb_record_query_version_reply_t>(connection, cookie.sequence, deadline) != nullptr;
}

// A context for the key presses and releases of every client's devices.
bool createKeyContext(xcb_connection_t* connection, xcb_record_context_t context, Deadline deadline)
{
    xcb_record_range_t range;
    std::memset(&range, 0, sizeof range);
    range.device_events.first = XCB_KEY_PRESS;
    range.device_events.last = XCB_KEY_RELEASE;
    const xcb_record_client_spec_t clients = XCB_RECORD_CS_ALL_CLIENTS;
    const auto cookie = xcb_record_create_context_checked(connection, context, 0, 1, 1, &clients, &range);
    return succeededBy(connection, cookie, deadline);
}

// The server hands recorded data on only when it flushes output to some
// client, and a key that no client receives causes no flush. Receiving the
// keys that reach the root window makes every press flush at once, also on
// a display where no application has focus. Never on the recording
// connection: events sent there along with recorded data corrupt the
// server's memory.
bool receiveRootKeys(xcb_connection_t* connection, Deadline deadline)
{
    const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(connection)).data;
    if (screen == nullptr) {
        return false;
    }
    const uint32_t mask = XCB_EVENT_MASK_KEY_PRESS | XCB_EVENT_MASK_KEY_RELEASE;
    const auto cookie = xcb_change_window_attributes_checked(connection, screen->root, XCB_CW_EVENT_MASK, &mask);
    return succeededBy(connection, cookie, deadline);
}

// How many events were dropped.
int dropEvents(xcb_connection_t* connection)
{
    int dropped = 0;
    for (;;) {
        Reply<xcb_generic_event_t> event{xcb_poll_for_event(connection)};
        if (!event) {
            return dropped;
        }
        ++dropped;
    }
}

// Drops what is already queued without reading the socket: a read here
// could take in recorded data that then waits, unseen by poll(), for the
// next key.
void dropQueuedEvents(xcb_connection_t* connection)
{
    for (;;) {
        Reply<xcb_generic_event_t> event{xcb_poll_for_queued_event(connection)};
        if (!event) {
            return;
        }
    }
}

}  // namespace

bool RecordTap::canRecord()
{
    const Deadline deadline = deadlineIn(kOpenTimeout);
    Connection control = connectToDisplay(deadline);
    if (!control || !hasRecord(control.get(), deadline)) {
        return false;
    }
    const xcb_record_context_t context = xcb_generate_id(control.get());
    if (!createKeyContext(control.get(), context, deadline)) {
        return false;
    }
    xcb_record_free_context(control.get(), context);
    return syncBy(control.get(), deadline);
}

std::unique_ptr<RecordTap> RecordTap::open()
{
    const Deadline deadline = deadlineIn(kOpenTimeout);
    Connection control = connectToDisplay(deadline);
    if (!control || !hasRecord(control.get(), deadline)) {
        return nullptr;
    }
    // A context made before a failure below goes with the control connection.
    const xcb_record_context_t context = xcb_generate_id(control.get());
    if (!createKeyContext(control.get(), context, deadline)) {
        return nullptr;
    }
    Connection data = connectToDisplay(deadline);
    if (!data || !hasExtensionBy(data.get(), &xcb_record_id, deadline) ||
        !receiveRootKeys(control.get(), deadline) || !enableXkb(control.get(), deadline)) {
        return nullptr;
    }
    const auto startState = queryKeyboard(control.get(), deadline);
    if (!startState) {
        return nullptr;
    }
    const auto enabled = xcb_record_enable_context(data.get(), context);
    // The first reply only says that recording has begun.
    if (!replyBy<xcb_record_enable_context_reply_t>(data.get(), enabled.sequence, deadline)) {
        return nullptr;
    }
    return std::unique_ptr<RecordTap>(
        new RecordTap(std::move(control), std::move(data), context, enabled, *startState));
}

RecordTap::RecordTap(Connection control, Connection data, xcb_record_context_t context,
                     xcb_record_enable_context_cookie_t enabled, const KeyboardSnapshot& startState)
    : control_(std::move(control))
    , data_(std::move(data))
    , context_(context)
    , enabled_(enabled)
    , startState_(startState)
{
}

// The server is not safe against a recording torn down while it still holds
// recorded data: it is disabled first, its end awaited on the data
// connection, and only then freed and the connections closed. A server that
// does not answer in time cannot be helped: the connections just close.
RecordTap::~RecordTap()
{
    if (stalled_ || isBroken(control_.get())) {
        return;
    }
    const Deadline deadline = deadlineIn(kEndTimeout);
    xcb_record_disable_context(control_.get(), context_);
    if (!syncBy(control_.get(), deadline)) {
        return;
    }
    awaitEnd(deadline);
    xcb_record_free_context(control_.get(), context_);
    syncBy(control_.get(), deadline);
}

void RecordTap::awaitEnd(Deadline deadline)
{
    using Clock = std::chrono::steady_clock;
    std::vector<RecordedKey> discarded;
    for (;;) {
        drain(discarded);
        discarded.clear();
        if (!working()) {
            return;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        pollfd readable{dataDescriptor(), POLLIN, 0};
        if (left.count() <= 0 || ::poll(&readable, 1, static_cast<int>(left.count())) <= 0) {
            return;
        }
    }
}

void RecordTap::drain(std::vector<RecordedKey>& into)
{
    while (!ended_ && !isBroken(data_.get())) {
        void* reply = nullptr;
        xcb_generic_error_t* error = nullptr;
        if (xcb_poll_for_reply(data_.get(), enabled_.sequence, &reply, &error) == 0) {
            break;
        }
        Reply<xcb_record_enable_context_reply_t> owned{static_cast<xcb_record_enable_context_reply_t*>(reply)};
        Error ownedError{error};
        if (!owned) {
            // The request is complete: the server will record nothing more.
            ended_ = true;
            break;
        }
        takeReply(*owned, into);
    }
    dropQueuedEvents(data_.get());
    if (dropEvents(control_.get()) > 0) {
        nudgeFlush();
    }
}

// A key reached the root window, so it has been recorded; but the server
// can still hold the recording back when it flushed just before recording
// it. A request with a reply, whose reply is dropped unread, makes it flush
// again.
void RecordTap::nudgeFlush()
{
    xcb_discard_reply(control_.get(), xcb_get_input_focus(control_.get()).sequence);
    if (!flushBy(control_.get(), deadlineIn(kFlushTimeout))) {
        stalled_ = true;
    }
}

void RecordTap::takeReply(const xcb_record_enable_context_reply_t& reply, std::vector<RecordedKey>& into)
{
    if (reply.category == kEndOfData) {
        ended_ = true;
        return;
    }
    if (reply.category != kFromServer) {
        return;
    }
    const uint8_t* bytes = xcb_record_enable_context_data(&reply);
    const size_t size = static_cast<size_t>(xcb_record_enable_context_data_length(&reply));
    for (size_t at = 0; at + kWireEventSize <= size; at += kWireEventSize) {
        const uint8_t type = bytes[at] & 0x7F;
        if (type == XCB_KEY_PRESS || type == XCB_KEY_RELEASE) {
            into.push_back(RecordedKey{type == XCB_KEY_PRESS, bytes[at + 1]});
        }
    }
}

bool RecordTap::working() const
{
    return !ended_ && !stalled_ && !isBroken(data_.get()) && !isBroken(control_.get());
}

}  // namespace x11
