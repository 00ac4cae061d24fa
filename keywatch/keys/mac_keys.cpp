#include "mac_keys.h"

#include <linux/input-event-codes.h>

#include <array>
#include <utility>

namespace keys {

namespace {

constexpr std::pair<uint16_t, uint16_t> kLinuxToMac[] = {
    {KEY_A, kMacA}, {KEY_B, kMacB}, {KEY_C, kMacC}, {KEY_D, kMacD},
    {KEY_E, kMacE}, {KEY_F, kMacF}, {KEY_G, kMacG}, {KEY_H, kMacH},
    {KEY_I, kMacI}, {KEY_J, kMacJ}, {KEY_K, kMacK}, {KEY_L, kMacL},
    {KEY_M, kMacM}, {KEY_N, kMacN}, {KEY_O, kMacO}, {KEY_P, kMacP},
    {KEY_Q, kMacQ}, {KEY_R, kMacR}, {KEY_S, kMacS}, {KEY_T, kMacT},
    {KEY_U, kMacU}, {KEY_V, kMacV}, {KEY_W, kMacW}, {KEY_X, kMacX},
    {KEY_Y, kMacY}, {KEY_Z, kMacZ},

    {KEY_1, kMac1}, {KEY_2, kMac2}, {KEY_3, kMac3}, {KEY_4, kMac4},
    {KEY_5, kMac5}, {KEY_6, kMac6}, {KEY_7, kMac7}, {KEY_8, kMac8},
    {KEY_9, kMac9}, {KEY_0, kMac0},

    {KEY_ENTER, kMacReturn}, {KEY_SPACE, kMacSpace}, {KEY_TAB, kMacTab},
    {KEY_ESC, kMacEscape}, {KEY_BACKSPACE, kMacDelete},
    {KEY_DELETE, kMacForwardDelete},

    {KEY_MINUS, kMacMinus}, {KEY_EQUAL, kMacEqual},
    {KEY_LEFTBRACE, kMacLeftBracket}, {KEY_RIGHTBRACE, kMacRightBracket},
    {KEY_SEMICOLON, kMacSemicolon}, {KEY_APOSTROPHE, kMacQuote},
    {KEY_GRAVE, kMacGrave}, {KEY_BACKSLASH, kMacBackslash},
    {KEY_COMMA, kMacComma}, {KEY_DOT, kMacPeriod}, {KEY_SLASH, kMacSlash},
    {KEY_102ND, kMacIsoSection},

    {KEY_F1, kMacF1}, {KEY_F2, kMacF2}, {KEY_F3, kMacF3}, {KEY_F4, kMacF4},
    {KEY_F5, kMacF5}, {KEY_F6, kMacF6}, {KEY_F7, kMacF7}, {KEY_F8, kMacF8},
    {KEY_F9, kMacF9}, {KEY_F10, kMacF10}, {KEY_F11, kMacF11},
    {KEY_F12, kMacF12}, {KEY_F13, kMacF13}, {KEY_F14, kMacF14},
    {KEY_F15, kMacF15}, {KEY_F16, kMacF16}, {KEY_F17, kMacF17},
    {KEY_F18, kMacF18}, {KEY_F19, kMacF19}, {KEY_F20, kMacF20},

    {KEY_LEFT, kMacLeftArrow}, {KEY_RIGHT, kMacRightArrow},
    {KEY_UP, kMacUpArrow}, {KEY_DOWN, kMacDownArrow},
    {KEY_HOME, kMacHome}, {KEY_END, kMacEnd},
    {KEY_PAGEUP, kMacPageUp}, {KEY_PAGEDOWN, kMacPageDown},
    {KEY_HELP, kMacHelp}, {KEY_INSERT, kMacHelp},

    {KEY_LEFTSHIFT, kMacShift}, {KEY_RIGHTSHIFT, kMacRightShift},
    {KEY_LEFTCTRL, kMacControl}, {KEY_RIGHTCTRL, kMacRightControl},
    {KEY_LEFTALT, kMacOption}, {KEY_RIGHTALT, kMacRightOption},
    {KEY_LEFTMETA, kMacCommand}, {KEY_RIGHTMETA, kMacRightCommand},
    {KEY_CAPSLOCK, kMacCapsLock},

    {KEY_KP0, kMacKeypad0}, {KEY_KP1, kMacKeypad1}, {KEY_KP2, kMacKeypad2},
    {KEY_KP3, kMacKeypad3}, {KEY_KP4, kMacKeypad4}, {KEY_KP5, kMacKeypad5},
    {KEY_KP6, kMacKeypad6}, {KEY_KP7, kMacKeypad7}, {KEY_KP8, kMacKeypad8},
    {KEY_KP9, kMacKeypad9}, {KEY_KPDOT, kMacKeypadDecimal},
    {KEY_KPASTERISK, kMacKeypadMultiply}, {KEY_KPPLUS, kMacKeypadPlus},
    {KEY_KPMINUS, kMacKeypadMinus}, {KEY_KPSLASH, kMacKeypadDivide},
    {KEY_KPENTER, kMacKeypadEnter}, {KEY_KPEQUAL, kMacKeypadEquals},
    {KEY_NUMLOCK, kMacKeypadClear},

    {KEY_MUTE, kMacMute}, {KEY_VOLUMEDOWN, kMacVolumeDown},
    {KEY_VOLUMEUP, kMacVolumeUp},

    {KEY_YEN, kMacJisYen}, {KEY_RO, kMacJisUnderscore},
    {KEY_KPJPCOMMA, kMacJisKeypadComma}, {KEY_MUHENKAN, kMacJisEisu},
    {KEY_HENKAN, kMacJisKana},
};

// Every key of the table has a code below this.
constexpr unsigned kLinuxCodeLimit = 248;
constexpr unsigned kMacKeyLimit = 128;
constexpr int16_t kNone = -1;

constexpr std::array<int16_t, kLinuxCodeLimit> buildMacByLinux()
{
    std::array<int16_t, kLinuxCodeLimit> table{};
    table.fill(kNone);
    for (const auto& [linuxCode, mac] : kLinuxToMac) {
        table[linuxCode] = static_cast<int16_t>(mac);
    }
    return table;
}

// The first Linux code listed for a macOS key wins, so Help comes from the
// Help key rather than from Insert, which shares its place on Apple boards.
constexpr std::array<int16_t, kMacKeyLimit> buildLinuxByMac()
{
    std::array<int16_t, kMacKeyLimit> table{};
    table.fill(kNone);
    for (const auto& [linuxCode, mac] : kLinuxToMac) {
        if (table[mac] == kNone) {
            table[mac] = static_cast<int16_t>(linuxCode);
        }
    }
    return table;
}

constexpr auto kMacByLinux = buildMacByLinux();
constexpr auto kLinuxByMac = buildLinuxByMac();

}  // namespace

std::optional<uint16_t> macKeyForLinuxCode(unsigned linuxCode)
{
    if (linuxCode >= kLinuxCodeLimit) {
        return std::nullopt;
    }
    const int16_t mac = kMacByLinux[linuxCode];
    if (mac == kNone) {
        return std::nullopt;
    }
    return static_cast<uint16_t>(mac);
}

std::optional<uint16_t> linuxCodeForMacKey(uint16_t macKey)
{
    if (macKey >= kMacKeyLimit) {
        return std::nullopt;
    }
    const int16_t linuxCode = kLinuxByMac[macKey];
    if (linuxCode == kNone) {
        return std::nullopt;
    }
    return static_cast<uint16_t>(linuxCode);
}

}  // namespace keys
