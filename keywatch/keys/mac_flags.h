// The flags word of keywatch's key events, in the macOS layout: one
// device-dependent bit for each side of each modifier, the
// device-independent masks, and alpha shift for the Caps Lock lock state.
#pragma once

#include <cstdint>

namespace keys {

inline constexpr uint64_t kFlagLeftControl = 0x00000001;
inline constexpr uint64_t kFlagLeftShift = 0x00000002;
inline constexpr uint64_t kFlagRightShift = 0x00000004;
inline constexpr uint64_t kFlagLeftCommand = 0x00000008;
inline constexpr uint64_t kFlagRightCommand = 0x00000010;
inline constexpr uint64_t kFlagLeftOption = 0x00000020;
inline constexpr uint64_t kFlagRightOption = 0x00000040;
inline constexpr uint64_t kFlagRightControl = 0x00002000;
inline constexpr uint64_t kFlagAlphaShift = 0x00010000;
inline constexpr uint64_t kFlagShift = 0x00020000;
inline constexpr uint64_t kFlagControl = 0x00040000;
inline constexpr uint64_t kFlagOption = 0x00080000;
inline constexpr uint64_t kFlagCommand = 0x00100000;

inline constexpr uint64_t kDeviceDependentBits = kFlagLeftControl | kFlagLeftShift | kFlagRightShift |
                                                 kFlagLeftCommand | kFlagRightCommand | kFlagLeftOption |
                                                 kFlagRightOption | kFlagRightControl;

// Both bits a modifier key (by macOS key code) sets while it is down; 0 for
// other keys.
uint64_t modifierFlagsOfMacKey(uint16_t macKey);

// The flags of a modifier of a Linux input code; 0 for other keys.
uint64_t modifierFlagsOfLinuxCode(unsigned linuxCode);

}  // namespace keys
