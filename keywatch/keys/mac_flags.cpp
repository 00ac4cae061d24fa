#include "mac_flags.h"

#include "mac_keys.h"

namespace keys {

uint64_t modifierFlagsOfMacKey(uint16_t macKey)
{
    switch (macKey) {
    case kMacShift: return kFlagLeftShift | kFlagShift;
    case kMacRightShift: return kFlagRightShift | kFlagShift;
    case kMacControl: return kFlagLeftControl | kFlagControl;
    case kMacRightControl: return kFlagRightControl | kFlagControl;
    case kMacOption: return kFlagLeftOption | kFlagOption;
    case kMacRightOption: return kFlagRightOption | kFlagOption;
    case kMacCommand: return kFlagLeftCommand | kFlagCommand;
    case kMacRightCommand: return kFlagRightCommand | kFlagCommand;
    default: return 0;
    }
}

uint64_t modifierFlagsOfLinuxCode(unsigned linuxCode)
{
    const auto macKey = macKeyForLinuxCode(linuxCode);
    return macKey ? modifierFlagsOfMacKey(*macKey) : 0;
}

}  // namespace keys
