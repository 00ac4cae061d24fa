// Keyboard events: a type, a key code and flags.
#pragma once

#include "object.h"

#include <CoreGraphics/CoreGraphics.h>

struct __CGEvent : standin::Object {
    __CGEvent(CGEventType eventType, CGKeyCode code, CGEventFlags eventFlags)
        : type(eventType), keyCode(code), flags(eventFlags)
    {
    }
    CGEventType type;
    CGKeyCode keyCode;
    CGEventFlags flags;
    int64_t autorepeat = 0;
};

struct __CGEventSource : standin::Object {
    explicit __CGEventSource(CGEventSourceStateID id) : state(id) {}
    const CGEventSourceStateID state;
};
