// The one system-wide keyboard tap: created with a fixed order of three tap
// kinds to fall back on, hooked into the main run loop, torn down, rebuilt,
// and upgraded from listen-only to active when the system allows it.
// Main thread only.
#pragma once

#include <CoreGraphics/CoreGraphics.h>

#include <cstdint>

extern CFMachPortRef gTap;
extern CFRunLoopSourceRef gTapSource;
extern int32_t gTapType;  // 0 active HID, 1 active session, 2 listen-only session, -1 none
extern CGEventMask gEventMask;
extern CFRunLoopRef gMainRunLoop;  // not owned; the stdin thread reads it to stop the loop
extern int32_t listenOnlyUpgradeCounter;

inline constexpr int32_t kListenOnlyTap = 2;

// True when the new tap's port is valid and the tap is enabled; the tap stays
// installed when it is not. `kind` receives the tap kind, -1 when none.
bool installEventTap(int32_t* kind);
void teardownEventTap();
// Writes the "recreated" line; a null reason is written as "unknown".
void recreateEventTap(const char* reason);
// Writes the "upgraded" line only when it replaced the tap.
void tryUpgradeListenOnlyTap();
// Once per heartbeat: an upgrade is tried on the fifth consecutive tick that
// finds a listen-only tap with secure input off. True when it was tried.
bool applyListenOnlyUpgradeRule(bool secureInput);

// Everything of this file back to its start values, a held tap torn down.
void resetEventTapGlobals();
