// Which push-to-talk keys count as held, with the times the stuck-key rules
// need, and the host's request to drop that record.
#pragma once

#include <CoreGraphics/CoreGraphics.h>

#include <atomic>
#include <cstdint>

// Main thread only: the tap callback and the heartbeat run one at a time.
extern bool capsHeld;
// Ages are elapsed time, read from CACurrentMediaTime(): a wall clock that
// is set back or forward must not keep a stuck key held or release it early.
extern CFTimeInterval capsHeldAt;          // 0 when not held
extern CFTimeInterval lastCapsActivityAt;  // 0 when none
extern int32_t shiftHeld;
extern bool capsShiftHeld;
extern int32_t leftOptionHeld;
extern int32_t rightOptionHeld;
extern int32_t leftCommandHeld;
extern int32_t rightCommandHeld;
extern int32_t leftControlHeld;
extern int32_t rightControlHeld;

// Set by the stdin thread, taken by the main thread.
extern std::atomic<int32_t> gResetRequested;

inline constexpr int64_t kCapsLockKeycode = 57;
inline constexpr int64_t kLeftShiftKeycode = 56;
inline constexpr int64_t kRightShiftKeycode = 60;
inline constexpr CGEventFlags kAlphaShiftMask = 0x10000;
inline constexpr CGEventFlags kShiftMasks = 0x06;

struct ModifierKey {
    int64_t keycode;
    CGEventFlags mask;
    int32_t* held;
    int32_t vk;
};

// In the order the heartbeat releases them.
inline constexpr int kModifierKeyCount = 6;
extern const ModifierKey kModifierKeys[kModifierKeyCount];

// The modifier with this key code, or null.
const ModifierKey* findModifierKey(int64_t keycode);

// Drops the held keys without any release line.
void resetKeyState();

// Consumes a pending reset request, if there is one.
void takeResetRequest();

// Everything of this file back to its start values.
void resetKeyStateGlobals();
