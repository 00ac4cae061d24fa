// The login session keywatch runs in: whether it is the active one on its
// seat, and which keyboards belong to that seat. Outside any login session
// (no logind, or a process in no session) everything counts as ours and the
// session as always active.
//
// A process that a user's service manager started (an application launched
// from a desktop runs there, not in the login session's scope) belongs to
// that user's display session. A session on no seat (a remote login) has no
// keyboards: it owns none and is never active, so keywatch run from it never
// reads what someone at the machine types.
#pragma once

#include <sys/types.h>

#include <memory>
#include <string>

struct sd_login_monitor;

namespace evdev {

class LoginSeat {
public:
    static std::unique_ptr<LoginSeat> open();  // never null
    // Unmanaged: every keyboard ours, the session always active.
    LoginSeat() = default;

    bool managed() const { return managed_; }  // a login session was found
    // The session's seat; "seat0" when unmanaged, empty when managed but on
    // no seat (a remote login, or a user with no session to show).
    const std::string& seat() const { return seat_; }
    // The login session's id; empty when unmanaged or no session to show.
    const std::string& session() const { return session_; }
    // The session is the active one on its seat (true when unmanaged); reads
    // the current state.
    bool active();
    // Readable when the login state may have changed; -1 when unmanaged, or
    // when nothing can be watched (then active() is always false).
    int fd() const;
    // Flushes the monitor; call when fd() was readable.
    void takeChanges();
    // Whether the character device `devnum` (an /dev/input/event* node)
    // belongs to this seat: udev's ID_SEAT property, "seat0" when absent or
    // when udev knows nothing of it.
    bool ownsDevice(dev_t devnum) const;

    struct MonitorUnref {
        void operator()(sd_login_monitor* monitor) const;
    };

private:
    bool managed_ = false;
    std::string session_;
    std::string seat_ = "seat0";
    std::unique_ptr<sd_login_monitor, MonitorUnref> monitor_;
};

// udev's seat for the character device `devnum`: its ID_SEAT, "seat0" when
// it has none or udev knows nothing of it.
std::string seatOfDevice(dev_t devnum);

}  // namespace evdev
