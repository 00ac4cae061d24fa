#include "permissions.h"

#include "lines.h"
#include "lookup.h"
#include "tap_callback.h"

#include <CoreGraphics/CoreGraphics.h>

namespace {

constexpr char kCarbonPath[] = "/System/Library/Frameworks/Carbon.framework/Carbon";
constexpr char kCoreGraphicsPath[] = "/System/Library/Frameworks/CoreGraphics.framework/CoreGraphics";

using SecureInputFunction = unsigned char (*)();
using ListenAccessFunction = bool (*)();

// Looked up once; a failed look-up is not retried.
bool secureInputResolved = false;
SecureInputFunction secureInputFunction = nullptr;

SecureInputFunction secureInputFunctionOnce()
{
    if (!secureInputResolved) {
        secureInputResolved = true;
        secureInputFunction =
            reinterpret_cast<SecureInputFunction>(lookupSystemFunction(kCarbonPath, "IsSecureEventInputEnabled"));
    }
    return secureInputFunction;
}

}  // namespace

bool isSecureEventInputEnabledSafe()
{
    SecureInputFunction function = secureInputFunctionOnce();
    return function != nullptr && function() != 0;
}

int32_t listenAccessState()
{
    auto function =
        reinterpret_cast<ListenAccessFunction>(lookupSystemFunction(kCoreGraphicsPath, "CGPreflightListenEventAccess"));
    if (function == nullptr)
        return -1;
    return function() ? 0 : 1;
}

void runListenProbe()
{
    CFMachPortRef tap = CGEventTapCreate(kCGHIDEventTap, kCGHeadInsertEventTap, kCGEventTapOptionDefault,
                                         CGEventMaskBit(kCGEventKeyDown), cb, nullptr);
    if (tap == nullptr) {
        writeListenProbeLine(1);
        return;
    }
    CFMachPortInvalidate(tap);
    CFRelease(tap);
    writeListenProbeLine(0);
}

void runSecureInputProbe()
{
    const bool sec = isSecureEventInputEnabledSafe();
    writeSecureProbeLine(sec, secureInputFunction != nullptr);
}

void resetPermissionGlobals()
{
    secureInputResolved = false;
    secureInputFunction = nullptr;
}
