#include "key_state.h"

bool capsHeld = false;
CFTimeInterval capsHeldAt = 0.0;
CFTimeInterval lastCapsActivityAt = 0.0;
int32_t shiftHeld = 0;
bool capsShiftHeld = false;
int32_t leftOptionHeld = 0;
int32_t rightOptionHeld = 0;
int32_t leftCommandHeld = 0;
int32_t rightCommandHeld = 0;
int32_t leftControlHeld = 0;
int32_t rightControlHeld = 0;

std::atomic<int32_t> gResetRequested{0};

const ModifierKey kModifierKeys[kModifierKeyCount] = {
    {58, 0x20, &leftOptionHeld, 164},
    {61, 0x40, &rightOptionHeld, 165},
    {55, 0x08, &leftCommandHeld, 91},
    {54, 0x10, &rightCommandHeld, 92},
    {59, 0x01, &leftControlHeld, 162},
    {62, 0x2000, &rightControlHeld, 163},
};

const ModifierKey* findModifierKey(int64_t keycode)
{
    for (const ModifierKey& key : kModifierKeys) {
        if (key.keycode == keycode)
            return &key;
    }
    return nullptr;
}

void resetKeyState()
{
    capsHeld = false;
    shiftHeld = 0;
    capsShiftHeld = false;
    for (const ModifierKey& key : kModifierKeys)
        *key.held = 0;
    capsHeldAt = 0.0;
    lastCapsActivityAt = 0.0;
}

void takeResetRequest()
{
    if (gResetRequested.exchange(0) != 0)
        resetKeyState();
}

void resetKeyStateGlobals()
{
    resetKeyState();
    gResetRequested.store(0);
}
