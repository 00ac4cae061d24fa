// The one table between Linux input codes (which name physical keys) and
// the macOS key codes that keywatch's events carry; every Linux backend
// translates through it.
#pragma once

#include <cstdint>
#include <optional>

namespace keys {

// macOS key codes of the keys the table knows.
enum MacKey : uint16_t {
    kMacA = 0x00, kMacS = 0x01, kMacD = 0x02, kMacF = 0x03, kMacH = 0x04,
    kMacG = 0x05, kMacZ = 0x06, kMacX = 0x07, kMacC = 0x08, kMacV = 0x09,
    kMacIsoSection = 0x0A, kMacB = 0x0B, kMacQ = 0x0C, kMacW = 0x0D,
    kMacE = 0x0E, kMacR = 0x0F, kMacY = 0x10, kMacT = 0x11,
    kMac1 = 0x12, kMac2 = 0x13, kMac3 = 0x14, kMac4 = 0x15, kMac6 = 0x16,
    kMac5 = 0x17, kMacEqual = 0x18, kMac9 = 0x19, kMac7 = 0x1A,
    kMacMinus = 0x1B, kMac8 = 0x1C, kMac0 = 0x1D, kMacRightBracket = 0x1E,
    kMacO = 0x1F, kMacU = 0x20, kMacLeftBracket = 0x21, kMacI = 0x22,
    kMacP = 0x23, kMacReturn = 0x24, kMacL = 0x25, kMacJ = 0x26,
    kMacQuote = 0x27, kMacK = 0x28, kMacSemicolon = 0x29,
    kMacBackslash = 0x2A, kMacComma = 0x2B, kMacSlash = 0x2C, kMacN = 0x2D,
    kMacM = 0x2E, kMacPeriod = 0x2F, kMacTab = 0x30, kMacSpace = 0x31,
    kMacGrave = 0x32, kMacDelete = 0x33, kMacEscape = 0x35,
    kMacRightCommand = 0x36, kMacCommand = 0x37, kMacShift = 0x38,
    kMacCapsLock = 0x39, kMacOption = 0x3A, kMacControl = 0x3B,
    kMacRightShift = 0x3C, kMacRightOption = 0x3D, kMacRightControl = 0x3E,
    kMacFunction = 0x3F, kMacF17 = 0x40, kMacKeypadDecimal = 0x41,
    kMacKeypadMultiply = 0x43, kMacKeypadPlus = 0x45, kMacKeypadClear = 0x47,
    kMacVolumeUp = 0x48, kMacVolumeDown = 0x49, kMacMute = 0x4A,
    kMacKeypadDivide = 0x4B, kMacKeypadEnter = 0x4C, kMacKeypadMinus = 0x4E,
    kMacF18 = 0x4F, kMacF19 = 0x50, kMacKeypadEquals = 0x51,
    kMacKeypad0 = 0x52, kMacKeypad1 = 0x53, kMacKeypad2 = 0x54,
    kMacKeypad3 = 0x55, kMacKeypad4 = 0x56, kMacKeypad5 = 0x57,
    kMacKeypad6 = 0x58, kMacKeypad7 = 0x59, kMacF20 = 0x5A,
    kMacKeypad8 = 0x5B, kMacKeypad9 = 0x5C, kMacJisYen = 0x5D,
    kMacJisUnderscore = 0x5E, kMacJisKeypadComma = 0x5F,
    kMacF5 = 0x60, kMacF6 = 0x61, kMacF7 = 0x62, kMacF3 = 0x63, kMacF8 = 0x64,
    kMacF9 = 0x65, kMacJisEisu = 0x66, kMacF11 = 0x67, kMacJisKana = 0x68,
    kMacF13 = 0x69, kMacF16 = 0x6A, kMacF14 = 0x6B, kMacF10 = 0x6D,
    kMacF12 = 0x6F, kMacF15 = 0x71, kMacHelp = 0x72, kMacHome = 0x73,
    kMacPageUp = 0x74, kMacForwardDelete = 0x75, kMacF4 = 0x76,
    kMacEnd = 0x77, kMacF2 = 0x78, kMacPageDown = 0x79, kMacF1 = 0x7A,
    kMacLeftArrow = 0x7B, kMacRightArrow = 0x7C, kMacDownArrow = 0x7D,
    kMacUpArrow = 0x7E,
};

// The macOS key code of a Linux input code; empty for keys that have none.
std::optional<uint16_t> macKeyForLinuxCode(unsigned linuxCode);

// The Linux input code of the key that produces a macOS key code; empty
// when no key does.
std::optional<uint16_t> linuxCodeForMacKey(uint16_t macKey);

}  // namespace keys
