// The run-time lookups of the two optional system functions.
#include "lookup.h"
#include "sim_backend.h"

#include <CoreFoundation/CoreFoundation.h>

#include <gtest/gtest.h>

namespace {

constexpr const char* kCoreGraphics = "/System/Library/Frameworks/CoreGraphics.framework/CoreGraphics";
constexpr const char* kCarbon = "/System/Library/Frameworks/Carbon.framework/Carbon";

using Preflight = bool (*)();
using SecureInput = Boolean (*)();

TEST(Lookup, ListenAccessAnswersFromTheBackendOrIsAbsent)
{
    struct Case {
        sim::ListenAccess access;
        bool present;
        bool granted;
    };
    for (const Case& c : {Case{sim::ListenAccess::granted, true, true}, Case{sim::ListenAccess::denied, true, false},
                          Case{sim::ListenAccess::absent, false, false}}) {
        auto keyboard = sim::Keyboard::install();
        keyboard->setListenAccess(c.access);
        void* found = lookupSystemFunction(kCoreGraphics, "CGPreflightListenEventAccess");
        EXPECT_EQ(found != nullptr, c.present);
        if (found) {
            EXPECT_EQ(reinterpret_cast<Preflight>(found)(), c.granted);
        }
    }
}

TEST(Lookup, SecureInputFollowsTheBackendOrIsAbsent)
{
    auto keyboard = sim::Keyboard::install();
    void* found = lookupSystemFunction(kCarbon, "IsSecureEventInputEnabled");
    ASSERT_NE(found, nullptr);
    auto isSecure = reinterpret_cast<SecureInput>(found);
    EXPECT_EQ(isSecure(), 0);
    keyboard->setSecureInput(true);
    EXPECT_EQ(isSecure(), 1);

    keyboard->setSecureInputAvailable(false);
    EXPECT_EQ(lookupSystemFunction(kCarbon, "IsSecureEventInputEnabled"), nullptr);
}

TEST(Lookup, UnknownSymbolsAndTheNullBackendFindNothing)
{
    auto keyboard = sim::Keyboard::install();
    EXPECT_EQ(lookupSystemFunction(kCarbon, "SomethingElse"), nullptr);
    EXPECT_EQ(lookupSystemFunction(kCarbon, nullptr), nullptr);

    standin::installBackend(standin::makeNullBackend());
    EXPECT_EQ(lookupSystemFunction(kCoreGraphics, "CGPreflightListenEventAccess"), nullptr);
    EXPECT_EQ(lookupSystemFunction(kCarbon, "IsSecureEventInputEnabled"), nullptr);
}

} // namespace
