// The command line: the two probe words, the options, the watched
// virtual-key codes and the direct map. Written before the tap exists and
// only read afterwards.
#pragma once

#include <cstdint>

inline constexpr int kMaxWatchedKeys = 256;
inline constexpr int kDirectMapSize = 256;

extern bool debugMode;
extern int32_t remapKeycode;  // -1: Caps Lock is not remapped
extern int32_t activeVKs[kMaxWatchedKeys];
extern int32_t activeVKCount;
extern int32_t directMap[kDirectMapSize];  // by virtual-key code; -1: no mapping

enum class Probe { none, listenAccess, secureInput };

// The first probe word among all words, whatever stands around it.
Probe findProbe(int argc, char** argv);

// Reads the options and key lists; malformed words are never reported.
void parseOptions(int argc, char** argv);

// An injected key passes through our own tap, so a mapping chain that comes
// back to a mapped watched key would inject without end while Caps is held.
// Drops every entry on such a cycle; chains that end are kept.
void dropDirectMapCycles();

bool isWatchedKey(int32_t vk);

// Everything of this file back to its start values.
void resetOptionGlobals();
