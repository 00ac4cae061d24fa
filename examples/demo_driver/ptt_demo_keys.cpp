// Types one push-to-talk utterance into the X display in DISPLAY through
// XTEST: Caps Lock, a pause while "speaking", Caps Lock again. keywatch's
// listen-only tap follows the Caps Lock lock, so the first press is
// push-to-talk down and the second one up.
#include "xtest_keyboard.h"

#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string_view>
#include <thread>

namespace {

using testsupport::XtestKeyboard;
namespace xkey = testsupport::xkey;

bool tapCaps(XtestKeyboard& keys)
{
    return keys.tap(xkey::kCapsLock) && keys.sync();
}

}  // namespace

int main(int argc, char** argv)
{
    int holdMs = 1500;
    if (argc > 1) {
        const std::string_view text = argv[1];
        const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), holdMs);
        if (ec != std::errc() || end != text.data() + text.size() || holdMs < 0 || holdMs > 60000) {
            std::fprintf(stderr, "usage: ptt_demo_keys [HOLD_MS]  (0 to 60000, default 1500)\n");
            return 2;
        }
    }
    const char* display = std::getenv("DISPLAY");
    auto keys = display != nullptr ? XtestKeyboard::connect(display) : std::nullopt;
    if (!keys) {
        std::fprintf(stderr, "ptt_demo_keys: no X display with XTEST in DISPLAY\n");
        return 1;
    }
    if (!tapCaps(*keys)) {
        return 1;
    }
    // The length of the utterance, as a person would hold it.
    std::this_thread::sleep_for(std::chrono::milliseconds(holdMs));
    return tapCaps(*keys) ? 0 : 1;
}
