// The tap callback: classifies every key event against the key state, the
// command line and the Caps Lock watch, writes its lines, and passes, changes
// or deletes the event. Also brings the tap back after the system disabled it.
// Main thread only.
#pragma once

#include <CoreGraphics/CoreGraphics.h>

#include <cstdint>

extern int32_t eventCount;  // every invocation; wraps
extern int32_t lastAlphaShift;
extern CFTimeInterval lastDriftNotifyAt;  // CACurrentMediaTime() of the last drift line

CGEventRef cb(CGEventTapProxy proxy, CGEventType type, CGEventRef event, void* userInfo);

// Reports a transition of one modifier key, never a repeat.
void emitModifierPttEvent(int32_t* held, int32_t down, int32_t vk);

// Everything of this file back to its start values.
void resetTapCallbackGlobals();
