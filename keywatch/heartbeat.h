// The 2-second safety net: ends the run when its causes appear, keeps the tap
// alive, follows secure input, offers a listen-only tap its upgrade, releases
// keys that look stuck and reports one "hb" line. Main thread only.
#pragma once

#include <CoreFoundation/CoreFoundation.h>

#include <cstdint>

extern int32_t lastSecureInput;

void heartbeat(CFRunLoopTimerRef timer, void* info);

// Everything of this file back to its start values.
void resetHeartbeatGlobals();
