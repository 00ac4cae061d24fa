// What logind and udev leave for sd-login and sd-device to read, written by
// hand inside the throwaway test guest: this process's cgroup, the session,
// seat and user files under /run/systemd, and udev's database entries under
// /run/udev/data. Everything here refuses to run anywhere but in the guest,
// so that it can never touch a real machine's sessions.
#pragma once

#include <optional>
#include <string>
#include <utility>

namespace testsupport {

// Whether this is the test guest: its first process is the busybox init that
// runs /guest/command.
bool insideTestGuest();

// Where the process sits in the cgroup tree, which is what sd-login reads to
// find its session.
enum class LoginPlace {
    None,         // the root cgroup: in no session, as a system process
    Scope,        // the session's own scope, as a login shell
    UserManager,  // an application under user 0's service manager
};

// Login session `id` of user 0 on `seat` (empty: a session on no seat, as a
// remote login has), with this process (and the children it starts later)
// placed in it. Ends the session when destroyed: the process is back in the
// root cgroup and /run/systemd is gone, as without logind.
class FakeLogin {
public:
    static std::optional<FakeLogin> start(const std::string& id, const std::string& seat, LoginPlace place,
                                          std::string* error = nullptr);
    FakeLogin(FakeLogin&& other) noexcept;
    FakeLogin& operator=(FakeLogin&&) = delete;
    FakeLogin(const FakeLogin&) = delete;
    FakeLogin& operator=(const FakeLogin&) = delete;
    ~FakeLogin();

    // Makes the session the active one on its seat, or another one, as a
    // switch does: every file is replaced by a rename.
    bool setActive(bool active, std::string* error = nullptr);

private:
    FakeLogin(std::string id, std::string seat, LoginPlace place)
        : id_(std::move(id)), seat_(std::move(seat)), place_(place)
    {
    }

    std::string id_;
    std::string seat_;
    LoginPlace place_;
    bool owner_ = true;
};

// udev's database entry for the character device at `devnode`, as udev
// writes it once it has handled the device: `seat` as its ID_SEAT, or no
// ID_SEAT when empty. Removed when destroyed, as the node's number is reused.
class UdevEntry {
public:
    static std::optional<UdevEntry> write(const std::string& devnode, const std::string& seat,
                                          std::string* error = nullptr);
    UdevEntry(UdevEntry&& other) noexcept;
    UdevEntry& operator=(UdevEntry&&) = delete;
    UdevEntry(const UdevEntry&) = delete;
    UdevEntry& operator=(const UdevEntry&) = delete;
    ~UdevEntry();

private:
    explicit UdevEntry(std::string path) : path_(std::move(path)) {}

    std::string path_;
};

}  // namespace testsupport
