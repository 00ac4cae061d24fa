#include "fake_login.h"

#include <linux/magic.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <utility>
#include <vector>

namespace testsupport {

namespace {

namespace fs = std::filesystem;

const char* const cgroupRoot = "/sys/fs/cgroup";
const char* const logindState = "/run/systemd";

bool fail(std::string* error, const std::string& what, int code = errno)
{
    if (error != nullptr) {
        *error = what + ": " + std::strerror(code);
    }
    return false;
}

std::string readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Written beside its place and renamed into it, as logind and udev do, so a
// reader never sees half a file and an inotify watcher sees IN_MOVED_TO.
bool replaceFile(const fs::path& path, const std::string& text, std::string* error)
{
    std::error_code code;
    fs::create_directories(path.parent_path(), code);
    if (code) {
        return fail(error, "creating " + path.parent_path().string(), code.value());
    }
    const fs::path temporary = path.parent_path() / (".#" + path.filename().string());
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out << text;
        if (!out.flush()) {
            return fail(error, "writing " + temporary.string(), EIO);
        }
    }
    fs::rename(temporary, path, code);
    return code ? fail(error, "renaming " + temporary.string(), code.value()) : true;
}

// sd-login finds a process's session through the unified cgroup hierarchy.
bool mountCgroups(std::string* error)
{
    struct statfs info {};
    if (::statfs(cgroupRoot, &info) == 0 && info.f_type == CGROUP2_SUPER_MAGIC) {
        return true;
    }
    if (::mount("cgroup2", cgroupRoot, "cgroup2", 0, nullptr) != 0) {
        return fail(error, std::string("mounting cgroup2 on ") + cgroupRoot);
    }
    return true;
}

std::vector<std::string> cgroupPath(const std::string& id, LoginPlace place)
{
    switch (place) {
    case LoginPlace::None:
        return {};
    case LoginPlace::Scope:
        return {"user.slice", "user-0.slice", "session-" + id + ".scope"};
    case LoginPlace::UserManager:
        return {"user.slice", "user-0.slice", "user@0.service", "app.slice", "app-test.scope"};
    }
    return {};
}

bool moveInto(const fs::path& cgroup, std::string* error)
{
    std::ofstream procs(cgroup / "cgroup.procs");
    procs << ::getpid() << '\n';
    if (!procs.flush()) {
        return fail(error, "moving into " + cgroup.string(), EIO);
    }
    return true;
}

bool placeProcess(const std::string& id, LoginPlace place, std::string* error)
{
    fs::path cgroup = cgroupRoot;
    for (const std::string& part : cgroupPath(id, place)) {
        cgroup /= part;
        if (::mkdir(cgroup.c_str(), 0755) != 0 && errno != EEXIST) {
            return fail(error, "creating " + cgroup.string());
        }
    }
    return moveInto(cgroup, error);
}

// Back to the root cgroup, and the cgroups made for the session removed,
// deepest first. Best effort: the guest goes away after the test anyway.
void leaveCgroups(const std::string& id, LoginPlace place)
{
    std::string ignored;
    moveInto(cgroupRoot, &ignored);
    auto parts = cgroupPath(id, place);
    for (; !parts.empty(); parts.pop_back()) {
        fs::path cgroup = cgroupRoot;
        for (const std::string& part : parts) {
            cgroup /= part;
        }
        ::rmdir(cgroup.c_str());
    }
}

unsigned long long monotonicUsec()
{
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<unsigned long long>(now.tv_sec) * 1000000ULL +
           static_cast<unsigned long long>(now.tv_nsec) / 1000;
}

// The keys logind writes for a session. A session on no seat is a remote
// one, which logind reports as always active.
std::string sessionFile(const std::string& id, const std::string& seat, bool active)
{
    const bool on = seat.empty() || active;
    std::ostringstream out;
    out << "# This is private data. Do not parse.\n"
        << "UID=0\nUSER=root\n"
        << "ACTIVE=" << (on ? 1 : 0) << "\nIS_DISPLAY=1\n"
        << "STATE=" << (on ? "active" : "online") << "\n"
        << "REMOTE=" << (seat.empty() ? 1 : 0) << "\n"
        << "TYPE=tty\nORIGINAL_TYPE=tty\nCLASS=user\n"
        << "SCOPE=session-" << id << ".scope\n"
        << "SERVICE=" << (seat.empty() ? "sshd" : "login") << "\n";
    if (seat.empty()) {
        out << "REMOTE_HOST=192.0.2.1\n";
    } else {
        out << "SEAT=" << seat << "\n";
    }
    out << "LEADER=" << ::getpid() << "\nREALTIME=0\nMONOTONIC=" << monotonicUsec() << "\n";
    return out.str();
}

std::string seatFile(const std::string& id, const std::string& seat, bool active)
{
    std::ostringstream out;
    out << "# This is private data. Do not parse.\n"
        << "IS_SEAT0=" << (seat == "seat0" ? 1 : 0) << "\n"
        << "CAN_MULTI_SESSION=1\nCAN_TTY=1\nCAN_GRAPHICAL=1\n";
    if (active) {
        out << "ACTIVE=" << id << "\nACTIVE_UID=0\n";
    }
    out << "SESSIONS=" << id << "\nUIDS=0\n";
    return out.str();
}

std::string userFile(const std::string& id, const std::string& seat, bool active)
{
    const bool on = seat.empty() || active;
    std::ostringstream out;
    out << "# This is private data. Do not parse.\n"
        << "NAME=root\nSTATE=" << (on ? "active" : "online") << "\nSTOPPING=no\n"
        << "RUNTIME=/run/user/0\nSERVICE=user@0.service\nSLICE=user-0.slice\n"
        << "DISPLAY=" << id << "\nREALTIME=0\nMONOTONIC=0\n"
        << "SESSIONS=" << id << "\n"
        << "SEATS=" << seat << "\n"
        << "ACTIVE_SESSIONS=" << (on ? id : "") << "\n"
        << "ONLINE_SESSIONS=" << id << "\n"
        << "ACTIVE_SEATS=" << (on ? seat : "") << "\n"
        << "ONLINE_SEATS=" << seat << "\n";
    return out.str();
}

}  // namespace

bool insideTestGuest()
{
    const std::string init = readFile("/proc/1/cmdline");
    return init.c_str() == std::string("/bin/busybox") && ::access("/guest/command", F_OK) == 0;
}

std::optional<FakeLogin> FakeLogin::start(const std::string& id, const std::string& seat, LoginPlace place,
                                          std::string* error)
{
    if (!insideTestGuest()) {
        fail(error, "refusing to fake a login session outside the test guest", EPERM);
        return std::nullopt;
    }
    if (!mountCgroups(error)) {
        return std::nullopt;
    }
    FakeLogin login(id, seat, place);
    // logind makes all three at its start; sd-login's monitor watches them.
    for (const char* dir : {"seats", "sessions", "users"}) {
        std::error_code code;
        fs::create_directories(fs::path(logindState) / dir, code);
        if (code) {
            fail(error, std::string("creating ") + logindState + "/" + dir, code.value());
            return std::nullopt;
        }
    }
    if (!login.setActive(true, error) || !placeProcess(id, place, error)) {
        return std::nullopt;
    }
    return login;
}

FakeLogin::FakeLogin(FakeLogin&& other) noexcept
    : id_(std::move(other.id_))
    , seat_(std::move(other.seat_))
    , place_(other.place_)
    , owner_(std::exchange(other.owner_, false))
{
}

FakeLogin::~FakeLogin()
{
    if (!owner_) {
        return;
    }
    leaveCgroups(id_, place_);
    std::error_code ignored;
    fs::remove_all(logindState, ignored);
}

bool FakeLogin::setActive(bool active, std::string* error)
{
    const fs::path state = logindState;
    if (!replaceFile(state / "users/0", userFile(id_, seat_, active), error)) {
        return false;
    }
    if (!seat_.empty() && !replaceFile(state / "seats" / seat_, seatFile(id_, seat_, active), error)) {
        return false;
    }
    // The session's own file last: a watcher woken by it reads the rest done.
    return replaceFile(state / "sessions" / id_, sessionFile(id_, seat_, active), error);
}

std::optional<UdevEntry> UdevEntry::write(const std::string& devnode, const std::string& seat, std::string* error)
{
    if (!insideTestGuest()) {
        fail(error, "refusing to write udev's database outside the test guest", EPERM);
        return std::nullopt;
    }
    struct stat node {};
    if (::stat(devnode.c_str(), &node) != 0) {
        fail(error, devnode);
        return std::nullopt;
    }
    if (!S_ISCHR(node.st_mode)) {
        fail(error, devnode, ENOTTY);
        return std::nullopt;
    }
    const std::string path = "/run/udev/data/c" + std::to_string(major(node.st_rdev)) + ":" +
                             std::to_string(minor(node.st_rdev));
    // An entry at all marks the device as handled by udev; I: is when.
    std::string text = "I:" + std::to_string(monotonicUsec()) + "\nE:ID_INPUT=1\nE:ID_INPUT_KEYBOARD=1\n";
    if (!seat.empty()) {
        text += "E:ID_SEAT=" + seat + "\n";
    }
    text += "G:seat\nQ:seat\nV:1\n";
    if (!replaceFile(path, text, error)) {
        return std::nullopt;
    }
    return UdevEntry(path);
}

UdevEntry::UdevEntry(UdevEntry&& other) noexcept : path_(std::exchange(other.path_, std::string())) {}

UdevEntry::~UdevEntry()
{
    if (!path_.empty()) {
        ::unlink(path_.c_str());
    }
}

}  // namespace testsupport
