#include "options.h"

#include "stdin_reader.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

bool debugMode = false;
int32_t remapKeycode = -1;
int32_t activeVKs[kMaxWatchedKeys] = {};
int32_t activeVKCount = 0;
// All -1 from parseOptions on; nothing reads it before.
int32_t directMap[kDirectMapSize];

namespace {

bool same(const char* word, const char* option)
{
    return strcmp(word, option) == 0;
}

void clearDirectMap()
{
    memset(directMap, 0xFF, sizeof directMap);
}

// atoi's reading (blanks, sign, decimal digits), without its undefined overflow.
int32_t leadingDecimal(const char* word)
{
    return static_cast<int32_t>(strtol(word, nullptr, 10));
}

void addWatchedKey(const char* word)
{
    if (activeVKCount >= kMaxWatchedKeys)
        return;
    activeVKs[activeVKCount++] = leadingDecimal(word);
}

// One "%d" of scanf: blanks, a sign and decimal digits. A number beyond int
// counts as none, where scanf's reading of it is undefined.
bool readDecimal(const char*& at, int& value)
{
    char* end = nullptr;
    errno = 0;
    const long parsed = strtol(at, &end, 10);
    if (end == at || errno == ERANGE || parsed < INT_MIN || parsed > INT_MAX)
        return false;
    value = static_cast<int>(parsed);
    at = end;
    return true;
}

// "VK:KEYCODE" as sscanf's "%d:%d" reads it; anything may follow.
void addMapping(const char* word)
{
    int vk = 0;
    int keycode = 0;
    const char* at = word;
    if (!readDecimal(at, vk) || *at++ != ':' || !readDecimal(at, keycode))
        return;
    if (static_cast<unsigned>(vk) >= kDirectMapSize)
        return;
    directMap[vk] = keycode < 0 ? -1 : keycode;
}

// The watched, mapped key that injecting `vk`'s mapping leads to, or -1.
int32_t nextMappedKey(int32_t vk)
{
    const int32_t injected = macToVK(static_cast<uint16_t>(directMap[vk]));
    if (injected < 0 || injected >= kDirectMapSize)
        return -1;
    if (directMap[injected] < 0 || !isWatchedKey(injected))
        return -1;
    return injected;
}

bool liesOnCycle(int32_t start)
{
    int32_t vk = start;
    for (int step = 0; step < kDirectMapSize; ++step) {
        vk = nextMappedKey(vk);
        if (vk < 0)
            return false;
        if (vk == start)
            return true;
    }
    return false;
}

}  // namespace

Probe findProbe(int argc, char** argv)
{
    for (int i = 1; i < argc; ++i) {
        if (same(argv[i], "--check-im"))
            return Probe::listenAccess;
        if (same(argv[i], "--check-sec"))
            return Probe::secureInput;
    }
    return Probe::none;
}

void parseOptions(int argc, char** argv)
{
    clearDirectMap();
    bool mapMode = false;
    for (int i = 1; i < argc; ++i) {
        const char* word = argv[i];
        if (same(word, "--debug")) {
            debugMode = true;
        } else if (same(word, "--remap")) {
            if (i + 1 < argc)
                remapKeycode = static_cast<int32_t>(strtol(argv[++i], nullptr, 0));
        } else if (same(word, "--map")) {
            mapMode = true;
        } else if (mapMode) {
            addMapping(word);
        } else {
            addWatchedKey(word);
        }
    }
}

bool isWatchedKey(int32_t vk)
{
    for (int32_t i = 0; i < activeVKCount; ++i) {
        if (activeVKs[i] == vk)
            return true;
    }
    return false;
}

void dropDirectMapCycles()
{
    bool onCycle[kDirectMapSize] = {};
    for (int32_t vk = 0; vk < kDirectMapSize; ++vk)
        onCycle[vk] = directMap[vk] >= 0 && isWatchedKey(vk) && liesOnCycle(vk);
    for (int32_t vk = 0; vk < kDirectMapSize; ++vk) {
        if (onCycle[vk])
            directMap[vk] = -1;
    }
}

void resetOptionGlobals()
{
    debugMode = false;
    remapKeycode = -1;
    memset(activeVKs, 0, sizeof activeVKs);
    activeVKCount = 0;
    clearDirectMap();
}
