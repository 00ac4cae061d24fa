// What the system lets keywatch do: listen access, secure keyboard input,
// and the two probes that answer from the command line. The system functions
// are optional and looked up at run time.
#pragma once

#include <cstdint>

// Secure keyboard input is on; false when it cannot be asked.
bool isSecureEventInputEnabledSafe();

// 0 listen access granted, 1 not granted, -1 cannot tell.
int32_t listenAccessState();

// "--check-im": 0 when a probe tap could be created, 1 when not.
void runListenProbe();
// "--check-sec".
void runSecureInputProbe();

// Forgets the looked-up secure-input function.
void resetPermissionGlobals();
