// A tap on the keyboards under /dev/input. An active tap grabs each
// keyboard once none of its keys is down and re-emits what the callback
// lets through on that keyboard's own virtual keyboard; a listen-only tap
// only reads.
//
// keywatch's main thread reads the keyboards itself, so a key reaches the
// callback in one wake-up. A thread of the tap's own stands by so that the
// keyboard never depends on that thread: when a key waits unread, or
// unsettled, too long, the tap's thread lets it and everything after it
// through unchanged, and the tap disables itself and tells the callback
// so, as the native system does with a tap that is too slow. The same
// thread follows keyboards that come and go, takes the grabs and hands the
// lock lights on. What no thread of keywatch's can do, since it stops with
// the process, the guard (tap_guard.h) does.
#pragma once

#include "backend.h"
#include "delivered_flags.h"
#include "forward_queue.h"
#include "input_device.h"
#include "key_tracker.h"
#include "live_tap_list.h"
#include "unique_fd.h"
#include "virtual_key_state.h"
#include "virtual_keyboard.h"

#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace evdev {

class DeviceWatch;
class EvdevTap;
class LoginSeat;
class TapGuard;
using LiveTaps = keys::LiveTapList<EvdevTap>;

// How long the callback may take to settle a key.
inline constexpr std::chrono::milliseconds kSettleTimeout{1000};
// How long a key may wait unread before the tap's thread reads it. Well
// short of the guard's limit, so that a running keywatch helps itself.
inline constexpr std::chrono::milliseconds kUnreadLimit{500};
// How long a new virtual keyboard waits for the desktop to open it before
// its keyboard is grabbed all the same; a keyboard made by a program
// always waits this long (see grabWhereAllowed).
inline constexpr std::chrono::milliseconds kOutputSettle{1000};
// The first and the longest wait before a refused grab is tried again.
inline constexpr std::chrono::milliseconds kFirstRetry{100};
inline constexpr std::chrono::milliseconds kLongestRetry{5000};

class EvdevTap final : public standin::BackendTap {
public:
    // Null when no keyboard can be read, or when an active tap has no
    // keyboard it may take (no uinput, or every keyboard held by another
    // program). `guard` may be null.
    static std::unique_ptr<EvdevTap> open(bool active, std::shared_ptr<LiveTaps> liveTaps,
                                          std::shared_ptr<TapGuard> guard);
    ~EvdevTap() override;
    EvdevTap(const EvdevTap&) = delete;
    EvdevTap& operator=(const EvdevTap&) = delete;

    // The stand-in's side, on the main thread.
    int eventFd() const override { return mainEpoll_.get(); }
    std::vector<standin::TapEvent> takePending() override;
    void settle(const standin::TapEvent& event, const standin::EventOutcome& outcome) override;
    void setEnabled(bool enabled) override;
    bool isEnabled() const override;
    bool isValid() const override { return true; }

    // The flags as of the event the callback is handling, or else of the
    // last one it was handed. Main thread.
    CGEventFlags currentFlags() const { return delivered_.current(); }

    // Any thread: an event that enters the stream as if typed.
    void post(const standin::PostedEvent& event);
    bool active() const { return active_; }

private:
    struct Keyboard {
        std::unique_ptr<InputDevice> device;
        std::unique_ptr<VirtualKeyboard> output; // null: only listened to
        int guardSlot = -1;
        int openWatch = -1;       // inotify watch on the output's node
        bool outputTaken = false; // someone opened the output's node
        Clock::time_point outputSince{};
        // Another program held the grab: asked again later, less and less often.
        std::optional<Clock::time_point> retryAt;
        std::chrono::milliseconds retryDelay{0};
    };

    EvdevTap(bool active, std::shared_ptr<LiveTaps> liveTaps, std::shared_ptr<TapGuard> guard);
    bool startWatching();
    std::vector<Keyboard> prepare(const std::vector<std::string>& paths, bool leaveHeld);
    void followSession();
    bool isKnown(const InputDevice& device);

    // With mutex_ held, on whichever thread reads.
    void addKeyboardsLocked(std::vector<Keyboard> keyboards);
    void readDevicesLocked(const std::vector<SourceId>& sources);
    void readAllDevicesLocked();
    void handleKeyLocked(InputDevice& device, SourceId source, const TimedKey& key);
    void handlePostLocked(const standin::PostedEvent& event);
    void deliverLocked(const MacKeyEvent& event, uint64_t id);
    void flushLocked();
    void stallLocked();
    void notifyDisabledLocked();
    void reclaimFromGuardLocked();
    void dropKeyboardLocked(SourceId source);
    void letOutputGoLocked(Keyboard& keyboard);
    void correctCapsLockLocked();
    std::optional<SourceId> postTargetLocked() const;

    // The tap's thread.
    void run();
    int millisecondsToDeadline();
    void noticeUnread(SourceId source);
    void noticeOutputOpens();
    void expireIfDue();
    void grabWhereAllowed();
    void handOnLights(SourceId source);
    void rearm(SourceId source);

    const bool active_;
    mutable std::mutex mutex_;
    std::map<SourceId, Keyboard> keyboards_;
    SourceId nextSource_ = 0;
    SourceId lastTyped_ = -1;
    KeyTracker tracker_;
    bool enabled_ = false;
    // The tap's thread reads while the main thread is held up.
    bool stalled_ = false;
    ForwardQueue queue_;
    VirtualKeyState virtualKeys_;
    std::vector<standin::TapEvent> inbox_;
    uint64_t nextId_ = 1;
    std::vector<RoutedWrite> outgoing_;
    Clock::time_point lastTake_{};
    std::optional<Clock::time_point> unreadSince_;
    // The display server's Caps Lock, as the lights it sets say.
    bool displayCapsLit_ = false;
    bool capsFixSent_ = false;
    uint32_t seenTakeovers_ = 0;
    // Only the active session's keys are keywatch's business.
    const std::unique_ptr<LoginSeat> seat_;
    std::atomic<bool> sessionActive_{true};

    // The main thread's record of what it was handed.
    keys::DeliveredFlags delivered_;

    const std::shared_ptr<LiveTaps> liveTaps_;
    const std::shared_ptr<TapGuard> guard_;
    const std::unique_ptr<DeviceWatch> watch_;
    keys::UniqueFd mainEpoll_;   // the keyboards and the inbox, level-triggered
    keys::UniqueFd threadEpoll_; // the keyboards (one edge each), hot-plug, lights, opens, session, wake-up
    keys::UniqueFd inboxFd_;
    keys::UniqueFd wakeFd_;
    keys::UniqueFd outputOpens_; // inotify: the desktop opening a virtual keyboard
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};

// The keyboards among these event nodes that can be opened.
std::vector<std::unique_ptr<InputDevice>> openKeyboards(const std::vector<std::string>& paths);

// True when at least one keyboard can be opened for reading.
bool anyKeyboardReadable();

}  // namespace evdev
