#include "outcome_writes.h"

#include "mac_flags.h"
#include "mac_keys.h"

namespace evdev {

namespace {

bool isRelease(const std::vector<KeyWrite>& writes)
{
    return writes.size() == 1 && writes.front().value == 0;
}

}  // namespace

std::vector<KeyWrite> writesForMacEvent(CGEventType type, CGKeyCode keyCode, CGEventFlags flags)
{
    const auto code = keys::linuxCodeForMacKey(keyCode);
    if (!code) {
        return {};
    }
    switch (type) {
    case kCGEventKeyDown:
        return {{*code, 1}};
    case kCGEventKeyUp:
        return {{*code, 0}};
    case kCGEventFlagsChanged: {
        if (keyCode == keys::kMacCapsLock) {
            return {{*code, 1}, {*code, 0}};
        }
        const uint64_t ownBits = keys::modifierFlagsOfMacKey(keyCode) & keys::kDeviceDependentBits;
        if (ownBits == 0) {
            return {};
        }
        return {{*code, (flags & ownBits) != 0 ? 1 : 0}};
    }
    default:
        return {};
    }
}

std::vector<KeyWrite> writesForOutcome(const std::vector<KeyWrite>& original, const standin::TapEvent& delivered,
                                       const standin::EventOutcome& outcome)
{
    switch (outcome.disposition) {
    case standin::Disposition::passed:
        return original;
    case standin::Disposition::deleted:
        return isRelease(original) ? original : std::vector<KeyWrite>{};
    case standin::Disposition::changed:
        if (outcome.type == delivered.type && outcome.keyCode == delivered.keyCode) {
            return original;
        }
        return writesForMacEvent(outcome.type, outcome.keyCode, outcome.flags);
    }
    return original;
}

}  // namespace evdev
