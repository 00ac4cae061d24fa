// Event fields, keyboard event creation and posting, and the system-wide
// modifier state.
#include "cg_event.h"

#include "backend.h"

using standin::Object;

extern "C" {

CGEventType CGEventGetType(CGEventRef event) { return event ? event->type : kCGEventNull; }

int64_t CGEventGetIntegerValueField(CGEventRef event, CGEventField field)
{
    if (!event)
        return 0;
    switch (field) {
    case kCGKeyboardEventKeycode:
        return event->keyCode;
    case kCGKeyboardEventAutorepeat:
        return event->autorepeat;
    }
    return 0;
}

void CGEventSetIntegerValueField(CGEventRef event, CGEventField field, int64_t value)
{
    if (!event)
        return;
    switch (field) {
    case kCGKeyboardEventKeycode:
        event->keyCode = static_cast<CGKeyCode>(value);
        return;
    case kCGKeyboardEventAutorepeat:
        event->autorepeat = value;
        return;
    }
}

CGEventFlags CGEventGetFlags(CGEventRef event) { return event ? event->flags : 0; }

void CGEventSetFlags(CGEventRef event, CGEventFlags flags)
{
    if (event)
        event->flags = flags;
}

CGEventRef CGEventCreateKeyboardEvent(CGEventSourceRef, CGKeyCode virtualKey, bool keyDown)
{
    return Object::create<__CGEvent>(keyDown ? kCGEventKeyDown : kCGEventKeyUp, virtualKey, 0);
}

void CGEventPost(CGEventTapLocation tap, CGEventRef event)
{
    if (!event)
        return;
    standin::currentBackend()->post({tap, event->type, event->keyCode, event->flags});
}

CGEventSourceRef CGEventSourceCreate(CGEventSourceStateID stateID)
{
    return Object::create<__CGEventSource>(stateID);
}

CGEventFlags CGEventSourceFlagsState(CGEventSourceStateID stateID)
{
    return standin::currentBackend()->flagsState(stateID);
}

} // extern "C"
