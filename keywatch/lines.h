// The lines keywatch writes on its standard output: one compact JSON object
// each, written whole and flushed at once. The heartbeat needs to know when a
// write failed, so every writer says whether the line went out.
#pragma once

#include <CoreGraphics/CoreGraphics.h>

#include <cstdint>
#include <cstdio>

// Where the lines go; standard output unless another stream was chosen.
FILE* lineOutput();
// Null goes back to standard output.
void setLineOutput(FILE* stream);

// The two probe answers; no flush of their own.
bool writeListenProbeLine(int32_t im);
bool writeSecureProbeLine(bool sec, bool resolved);

bool writeErrLine();
bool writeOkLine(int32_t tap, bool enabled, int32_t im, int32_t remap);
bool writeReLine(int32_t reason);
bool writeRecreatedLine(bool ok, int32_t tap, const char* reason);
bool writeUpgradedLine(int32_t tap, bool enabled);
bool writeRsLine(bool secureInputOn);

struct HeartbeatReport {
    bool enabled = false;
    bool valid = false;
    bool repaired = false;
};
bool writeHeartbeatLine(const HeartbeatReport& report, int32_t events, bool sec, int32_t tap);

bool writeDbgLine(int32_t type, int64_t keycode, CGEventFlags flags);
bool writeCpxLine(int32_t state);
bool writeDriftLine();
bool writeCapsDownLine();
bool writeCapsUpLine();
bool writeCapsShiftDownLine();
bool writeCapsShiftUpLine();
bool writeKeyDownLine(int32_t vk);
bool writeKeyUpLine(int32_t vk);
bool writeModifierDownLine(int32_t vk);
bool writeModifierUpLine(int32_t vk);
bool writeStuckModifierUpLine(int32_t vk);
// The time-out release of Caps: with Shift, "csu" then "cu" under one flush.
bool writeStuckCapsUpLines(bool withShift);
