// Clearing the system key remapping at shutdown, when a remap was given and
// the parent that asked for it is gone.
#pragma once

// Whether the reset is due: a remap was given, no signal asked us to stop,
// and the parent is found gone within five probes 25 ms apart.
bool remapResetDue();

// Starts the system tool that clears the user key mapping and waits for it at
// most about 2 seconds. Gives up silently when it cannot be started.
void resetSystemKeyMapping();
