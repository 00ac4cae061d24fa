// LoginSeat against sessions, seats and udev entries faked in the test guest.
#include "fake_login.h"
#include "login_seat.h"
#include "uinput_keyboard.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <optional>
#include <string>

namespace {

using evdev::LoginSeat;
using testsupport::FakeLogin;
using testsupport::LoginPlace;
using testsupport::UdevEntry;
using testsupport::UinputKeyboard;

bool readableWithin(int fd, int timeoutMs)
{
    pollfd entry{fd, POLLIN, 0};
    return ::poll(&entry, 1, timeoutMs) == 1 && (entry.revents & POLLIN) != 0;
}

dev_t devnumOf(const std::string& node)
{
    struct stat info {};
    return ::stat(node.c_str(), &info) == 0 ? info.st_rdev : 0;
}

std::optional<FakeLogin> fakeLogin(const std::string& seat, LoginPlace place)
{
    std::string error;
    auto login = FakeLogin::start("7", seat, place, &error);
    EXPECT_TRUE(login) << error;
    return login;
}

std::optional<UinputKeyboard> keyboard()
{
    std::string error;
    auto made = UinputKeyboard::createWithKeys("login seat test keyboard", {30}, &error);
    EXPECT_TRUE(made) << error;
    return made;
}

TEST(LoginSeatGuest, OutsideAnySessionEverythingIsOurs)
{
    auto keys = keyboard();
    ASSERT_TRUE(keys);
    std::string error;
    auto elsewhere = UdevEntry::write(keys->devnode(), "seat1", &error);
    ASSERT_TRUE(elsewhere) << error;
    for (const bool logind : {false, true}) {
        SCOPED_TRACE(logind ? "a system process under logind" : "no logind");
        const auto login = logind ? fakeLogin("seat0", LoginPlace::None) : std::nullopt;
        ASSERT_EQ(login.has_value(), logind);
        const auto seat = LoginSeat::open();
        EXPECT_FALSE(seat->managed());
        EXPECT_EQ(seat->seat(), "seat0");
        EXPECT_TRUE(seat->active());
        EXPECT_EQ(seat->fd(), -1);
        EXPECT_TRUE(seat->ownsDevice(devnumOf(keys->devnode())));
    }
}

TEST(LoginSeatGuest, FindsItsSessionAndSeat)
{
    struct Case {
        const char* name;
        std::string seat;
        LoginPlace place;
        bool active;
    };
    const Case cases[] = {
        {"login shell on seat0", "seat0", LoginPlace::Scope, true},
        {"login shell on seat1", "seat1", LoginPlace::Scope, true},
        {"application of the user's service manager", "seat1", LoginPlace::UserManager, true},
        // logind calls it active; it has no keyboards to be active on.
        {"remote login", "", LoginPlace::Scope, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto login = fakeLogin(c.seat, c.place);
        ASSERT_TRUE(login);
        const auto seat = LoginSeat::open();
        EXPECT_TRUE(seat->managed());
        EXPECT_EQ(seat->session(), "7");
        EXPECT_EQ(seat->seat(), c.seat);
        EXPECT_EQ(seat->active(), c.active);
        EXPECT_EQ(seat->fd() >= 0, !c.seat.empty());
    }
}

TEST(LoginSeatGuest, SwitchWakesTheMonitorAndIsRead)
{
    auto login = fakeLogin("seat0", LoginPlace::Scope);
    ASSERT_TRUE(login);
    const auto seat = LoginSeat::open();
    ASSERT_GE(seat->fd(), 0);
    EXPECT_FALSE(readableWithin(seat->fd(), 0));
    for (const bool active : {false, true, false}) {
        SCOPED_TRACE(active ? "switched to" : "switched away");
        ASSERT_TRUE(login->setActive(active));
        ASSERT_TRUE(readableWithin(seat->fd(), 5000));
        seat->takeChanges();
        EXPECT_FALSE(readableWithin(seat->fd(), 0));
        EXPECT_EQ(seat->active(), active);
    }
}

TEST(LoginSeatGuest, OwnsTheKeyboardsOfItsSeat)
{
    auto keys = keyboard();
    ASSERT_TRUE(keys);
    const dev_t devnum = devnumOf(keys->devnode());
    struct Case {
        const char* name;
        std::optional<std::string> udevSeat;  // nullopt: no udev entry
        std::string sessionSeat;
        bool owned;
    };
    const Case cases[] = {
        {"unknown to udev, on seat0", std::nullopt, "seat0", true},
        {"unknown to udev, on seat1", std::nullopt, "seat1", false},
        {"no ID_SEAT, on seat0", "", "seat0", true},
        {"no ID_SEAT, on seat1", "", "seat1", false},
        {"ID_SEAT=seat1, on seat0", "seat1", "seat0", false},
        {"ID_SEAT=seat1, on seat1", "seat1", "seat1", true},
        {"remote login", std::nullopt, "", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string error;
        const auto entry = c.udevSeat ? UdevEntry::write(keys->devnode(), *c.udevSeat, &error) : std::nullopt;
        ASSERT_EQ(entry.has_value(), c.udevSeat.has_value()) << error;
        const auto login = fakeLogin(c.sessionSeat, LoginPlace::Scope);
        ASSERT_TRUE(login);
        EXPECT_EQ(LoginSeat::open()->ownsDevice(devnum), c.owned);
    }
    EXPECT_EQ(evdev::seatOfDevice(makedev(13, 1023)), "seat0");  // no such device
}

}  // namespace
