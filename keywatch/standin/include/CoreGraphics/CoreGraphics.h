/* The part of the keyboard event API that keywatch uses, for systems
 * without the native frameworks. Types, values and signatures follow the
 * native API so the same code builds against either. */
#pragma once

#include <CoreFoundation/CoreFoundation.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct __CGEvent* CGEventRef;
typedef struct __CGEventSource* CGEventSourceRef;
typedef struct __CGEventTapProxy* CGEventTapProxy;

typedef uint16_t CGKeyCode;
typedef uint64_t CGEventMask;

/* Fixed-width enumerations: strongly typed in C++ as on the native
 * system, plain integers in C. */
#ifdef __cplusplus
#define CGSTANDIN_ENUM(type, name) enum name : type
#define CGSTANDIN_OPTIONS(type, name) \
    typedef type name;                \
    enum : type
#else
#define CGSTANDIN_ENUM(type, name) \
    typedef type name;             \
    enum
#define CGSTANDIN_OPTIONS(type, name) \
    typedef type name;                \
    enum
#endif

CGSTANDIN_ENUM(uint32_t, CGEventType){
    kCGEventNull = 0,
    kCGEventKeyDown = 10,
    kCGEventKeyUp = 11,
    kCGEventFlagsChanged = 12,
#ifdef __cplusplus
    /* Notifications, sent to the tap's callback whatever its mask. */
    kCGEventTapDisabledByTimeout = 0xFFFFFFFE,
    kCGEventTapDisabledByUserInput = 0xFFFFFFFF,
#endif
};
#ifndef __cplusplus
/* C enumerators stop at INT_MAX. */
#define kCGEventTapDisabledByTimeout ((CGEventType)0xFFFFFFFEu)
#define kCGEventTapDisabledByUserInput ((CGEventType)0xFFFFFFFFu)
#endif

#define CGEventMaskBit(eventType) ((CGEventMask)1 << (eventType))

CGSTANDIN_OPTIONS(uint64_t, CGEventFlags){
    kCGEventFlagMaskAlphaShift = 0x00010000,
    kCGEventFlagMaskShift = 0x00020000,
    kCGEventFlagMaskControl = 0x00040000,
    kCGEventFlagMaskAlternate = 0x00080000,
    kCGEventFlagMaskCommand = 0x00100000,
    kCGEventFlagMaskNumericPad = 0x00200000,
    kCGEventFlagMaskHelp = 0x00400000,
    kCGEventFlagMaskSecondaryFn = 0x00800000,
    kCGEventFlagMaskNonCoalesced = 0x00000100,
};

CGSTANDIN_ENUM(uint32_t, CGEventField){
    kCGKeyboardEventAutorepeat = 8,
    kCGKeyboardEventKeycode = 9,
};

CGSTANDIN_ENUM(uint32_t, CGEventTapLocation){
    kCGHIDEventTap = 0,
    kCGSessionEventTap = 1,
    kCGAnnotatedSessionEventTap = 2,
};

CGSTANDIN_ENUM(uint32_t, CGEventTapPlacement){
    kCGHeadInsertEventTap = 0,
    kCGTailAppendEventTap = 1,
};

CGSTANDIN_ENUM(uint32_t, CGEventTapOptions){
    kCGEventTapOptionDefault = 0x00000000,
    kCGEventTapOptionListenOnly = 0x00000001,
};

CGSTANDIN_ENUM(int32_t, CGEventSourceStateID){
    kCGEventSourceStatePrivate = -1,
    kCGEventSourceStateCombinedSessionState = 0,
    kCGEventSourceStateHIDSystemState = 1,
};

#undef CGSTANDIN_ENUM
#undef CGSTANDIN_OPTIONS

/* Events. */
CGEventType CGEventGetType(CGEventRef event);
int64_t CGEventGetIntegerValueField(CGEventRef event, CGEventField field);
void CGEventSetIntegerValueField(CGEventRef event, CGEventField field, int64_t value);
CGEventFlags CGEventGetFlags(CGEventRef event);
void CGEventSetFlags(CGEventRef event, CGEventFlags flags);
CGEventRef CGEventCreateKeyboardEvent(CGEventSourceRef source, CGKeyCode virtualKey, bool keyDown);
/* May be called from any thread. */
void CGEventPost(CGEventTapLocation tap, CGEventRef event);

/* Event sources and the system-wide modifier state. */
CGEventSourceRef CGEventSourceCreate(CGEventSourceStateID stateID);
CGEventFlags CGEventSourceFlagsState(CGEventSourceStateID stateID);

/* Event taps. The callback runs on the thread whose run loop holds the
 * tap's source. On an active tap the returned event replaces the incoming
 * one and null deletes it; a listen-only tap ignores the return value. */
typedef CGEventRef (*CGEventTapCallBack)(CGEventTapProxy proxy, CGEventType type, CGEventRef event,
                                         void* userInfo);

CFMachPortRef CGEventTapCreate(CGEventTapLocation tap, CGEventTapPlacement place,
                               CGEventTapOptions options, CGEventMask eventsOfInterest,
                               CGEventTapCallBack callback, void* userInfo);
void CGEventTapEnable(CFMachPortRef tap, bool enable);
bool CGEventTapIsEnabled(CFMachPortRef tap);

#ifdef __cplusplus
}
#endif
