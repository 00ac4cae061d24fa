// Plays a short push-to-talk sequence into keywatch on a private Xvfb and
// prints what keywatch says to each step. keywatch is the one built beside
// this program.
#include "child_process.h"
#include "keywatch_lines.h"
#include "private_xvfb.h"
#include "xtest_keyboard.h"


#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace {

using namespace std::chrono_literals;
using testsupport::Child;
using testsupport::PrivateXvfb;
using testsupport::XtestKeyboard;
namespace xkey = testsupport::xkey;

struct Step {
    const char* what;
    std::function<void(XtestKeyboard&)> type;
    size_t lines;  // what keywatch answers to it
};

const std::vector<Step> kSequence = {
    {"Caps Lock on", [](XtestKeyboard& k) { k.tap(xkey::kCapsLock); }, 1},
    {"Shift down: the Shift layer", [](XtestKeyboard& k) { k.press(xkey::kLeftShift); }, 1},
    {"Shift up", [](XtestKeyboard& k) { k.release(xkey::kLeftShift); }, 1},
    {"B, a watched key (66)", [](XtestKeyboard& k) { k.tap(xkey::kB); }, 2},
    {"A, mapped: injects B", [](XtestKeyboard& k) { k.tap(xkey::kA); }, 2},
    {"right Option, a modifier", [](XtestKeyboard& k) { k.tap(xkey::kRightAlt); }, 2},
    {"Caps Lock off", [](XtestKeyboard& k) { k.tap(xkey::kCapsLock); }, 1},
};

}  // namespace

int main()
{
    std::string error;
    auto display = PrivateXvfb::start(&error);
    if (!display) {
        std::printf("no private display: %s\n", error.c_str());
        return 1;
    }
    auto keys = XtestKeyboard::connect(display->name());
    if (!keys) {
        std::printf("no XTEST on %s\n", display->name().c_str());
        return 1;
    }
    testsupport::ChildOptions options;
    options.argv = {KEYWATCH_PATH, "65", "66", "--map", "65:11"};
    options.extraEnv = {display->displayEnv()};
    auto keywatch = Child::spawn(options, &error);
    if (!keywatch) {
        std::printf("keywatch did not start: %s\n", error.c_str());
        return 1;
    }
    std::printf("keywatch 65 66 --map 65:11 on a private display %s, typed at with XTEST\n", display->name().c_str());
    std::printf("  %-30s %s\n", "start", keywatch->readLine(3000ms).value_or("(nothing)").c_str());
    for (const Step& step : kSequence) {
        step.type(*keys);
        for (size_t i = 0; i < step.lines; ++i) {
            std::printf("  %-30s %s\n", i == 0 ? step.what : "", testsupport::nextEventLine(*keywatch, 3000ms).value_or("(nothing)").c_str());
        }
    }
    keywatch->closeStdin();
    const auto status = keywatch->waitExit(3000ms);
    std::printf("end of input: keywatch exited with status %d\n", status.value_or(-1));
    return status == 0 ? 0 : 1;
}
