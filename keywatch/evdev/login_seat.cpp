#include "login_seat.h"

#include <systemd/sd-device.h>
#include <systemd/sd-login.h>
#include <unistd.h>

#include <cstdlib>
#include <optional>

namespace evdev {

namespace {

struct Free {
    void operator()(char* text) const { std::free(text); }
};

struct DeviceUnref {
    void operator()(sd_device* device) const { sd_device_unref(device); }
};

// Calls an sd-login getter that hands back a malloc'd string; nullopt when
// it fails.
template <typename Getter>
std::optional<std::string> takeString(Getter getter)
{
    char* raw = nullptr;
    const int result = getter(&raw);
    const std::unique_ptr<char, Free> owned(raw);
    if (result < 0 || raw == nullptr) {
        return std::nullopt;
    }
    return std::string(raw);
}

// logind keeps this directory while it runs; without it nobody switches
// sessions and there is nothing to keep apart.
bool logindRunning() { return ::access("/run/systemd/seats/", F_OK) == 0; }

// Our login session: the one whose scope this process runs in or, for a
// process of a user's service manager, that user's display session. nullopt
// when the process belongs to no user (no login at all); empty when it
// belongs to a user who has no session to show.
std::optional<std::string> sessionOfThisProcess()
{
    if (auto own = takeString([](char** out) { return sd_pid_get_session(0, out); })) {
        return own;
    }
    uid_t uid = 0;
    if (sd_pid_get_owner_uid(0, &uid) < 0) {
        return std::nullopt;
    }
    auto display = takeString([uid](char** out) { return sd_uid_get_display(uid, out); });
    return display ? *display : std::string();
}

// Empty for a session on no seat, and for one logind does not know (any more).
std::string seatOfSession(const std::string& session)
{
    auto seat = takeString([&](char** out) { return sd_session_get_seat(session.c_str(), out); });
    return seat ? *seat : std::string();
}

}  // namespace

void LoginSeat::MonitorUnref::operator()(sd_login_monitor* monitor) const
{
    sd_login_monitor_unref(monitor);
}

std::unique_ptr<LoginSeat> LoginSeat::open()
{
    auto login = std::make_unique<LoginSeat>();
    if (!logindRunning()) {
        return login;
    }
    auto session = sessionOfThisProcess();
    if (!session) {
        return login;
    }
    login->managed_ = true;
    login->session_ = *session;
    // A session on no seat is a remote one (logind counts it as always
    // active): the keyboards at the machine are someone else's, so it owns
    // none and is never active. The same holds, failing closed, for a
    // session we cannot find a seat for or cannot watch.
    login->seat_ = session->empty() ? std::string() : seatOfSession(*session);
    if (login->seat_.empty()) {
        return login;
    }
    // A switch rewrites the session files of both sessions (ACTIVE, STATE)
    // by renaming them into place, which is what the "session" category
    // watches.
    sd_login_monitor* raw = nullptr;
    if (sd_login_monitor_new("session", &raw) < 0) {
        return login;
    }
    login->monitor_.reset(raw);
    return login;
}

bool LoginSeat::active()
{
    if (!managed_) {
        return true;
    }
    if (!monitor_) {
        return false;
    }
    // "closing" (logged out, processes left over) is not ours to read for.
    const auto state = takeString([this](char** out) { return sd_session_get_state(session_.c_str(), out); });
    return state == "active" && sd_session_is_active(session_.c_str()) > 0;
}

int LoginSeat::fd() const
{
    return monitor_ ? sd_login_monitor_get_fd(monitor_.get()) : -1;
}

void LoginSeat::takeChanges()
{
    if (monitor_) {
        sd_login_monitor_flush(monitor_.get());
    }
}

bool LoginSeat::ownsDevice(dev_t devnum) const
{
    if (!managed_) {
        return true;
    }
    return !seat_.empty() && seatOfDevice(devnum) == seat_;
}

std::string seatOfDevice(dev_t devnum)
{
    sd_device* raw = nullptr;
    if (sd_device_new_from_devnum(&raw, 'c', devnum) < 0) {
        return "seat0";
    }
    const std::unique_ptr<sd_device, DeviceUnref> device(raw);
    const char* seat = nullptr;
    if (sd_device_get_property_value(device.get(), "ID_SEAT", &seat) < 0 || seat == nullptr || *seat == '\0') {
        return "seat0";
    }
    return seat;
}

}  // namespace evdev
