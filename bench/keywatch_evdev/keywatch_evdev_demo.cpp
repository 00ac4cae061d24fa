// Plays a short push-to-talk sequence on a uinput keyboard in a guest with
// a real kernel and prints, for each step, keywatch's lines beside what
// applications receive on keywatch's virtual keyboard. keywatch is the one
// built beside this program.
#include "child_process.h"
#include "keywatch_lines.h"
#include "input_devices.h"
#include "input_reader.h"
#include "uinput_keyboard.h"

#include <libevdev/libevdev.h>
#include <linux/input.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace {

using namespace std::chrono_literals;
using testsupport::Child;
using testsupport::InputReader;
using testsupport::KeyEvent;
using testsupport::UinputKeyboard;

struct Step {
    const char* what;
    std::function<void(UinputKeyboard&)> type;
    size_t lines;   // what keywatch answers to it
    size_t events;  // what applications receive
};

std::string describe(const std::optional<KeyEvent>& event)
{
    if (!event) {
        return "(nothing)";
    }
    const char* values[] = {"up", "down", "repeat"};
    const char* name = libevdev_event_code_get_name(event->type, event->code);
    return std::string(name != nullptr ? name : "?") + " " + (event->value >= 0 && event->value <= 2 ? values[event->value] : "?");
}

const std::vector<Step> kSequence = {
    {"Caps Lock on", [](UinputKeyboard& k) { k.tap(KEY_CAPSLOCK); }, 1, 0},
    {"Shift down: the Shift layer", [](UinputKeyboard& k) { k.press(KEY_LEFTSHIFT); }, 1, 0},
    {"Shift up", [](UinputKeyboard& k) { k.release(KEY_LEFTSHIFT); }, 1, 0},
    {"B, a watched key (66)", [](UinputKeyboard& k) { k.tap(KEY_B); }, 2, 0},
    {"A, mapped: E goes out instead", [](UinputKeyboard& k) { k.tap(KEY_A); }, 0, 2},
    {"right Option, a modifier", [](UinputKeyboard& k) { k.tap(KEY_RIGHTALT); }, 2, 2},
    {"Caps Lock off", [](UinputKeyboard& k) { k.tap(KEY_CAPSLOCK); }, 1, 0},
    {"H I, plain letters", [](UinputKeyboard& k) { k.tap(KEY_H);
         k.tap(KEY_I); }, 0, 4},
};

void printStep(const Step& step, Child& keywatch, InputReader& applications)
{
    const size_t rows = std::max<size_t>({step.lines, step.events, 1});
    for (size_t i = 0; i < rows; ++i) {
        const std::string line = i < step.lines ? testsupport::nextEventLine(keywatch, 3000ms).value_or("(no line)") : (i == 0 ? "-" : "");
        const std::string event =
            i < step.events ? describe(applications.next(3000ms)) : (i == 0 ? "-" : "");
        std::printf("  %-30s %-24s %s\n", i == 0 ? step.what : "", line.c_str(), event.c_str());
    }
}

}  // namespace

int main()
{
    std::string error;
    auto keyboard = UinputKeyboard::create("demo keyboard", &error);
    if (!keyboard) {
        std::printf("no uinput keyboard: %s\n", error.c_str());
        return 1;
    }
    testsupport::ChildOptions options;
    options.argv = {KEYWATCH_PATH, "65", "66", "--map", "65:14"};
    options.removeEnv = {"DISPLAY"};
    auto keywatch = Child::spawn(options, &error);
    if (!keywatch) {
        std::printf("keywatch did not start: %s\n", error.c_str());
        return 1;
    }
    std::printf("keywatch 65 66 --map 65:14 in a guest, typed at on a uinput keyboard it grabs\n");
    std::printf("  %-30s %-24s %s\n", "step", "keywatch says", "applications receive");
    std::printf("  %-30s %s\n", "start", keywatch->readLine(3000ms).value_or("(nothing)").c_str());
    auto applications = InputReader::openByName("demo keyboard (keywatch)", 3000ms, &error);
    if (!applications || !testsupport::waitGrabError(keyboard->devnode(), EBUSY, 3000ms)) {
        std::printf("no virtual keyboard, or the keyboard was not grabbed: %s\n", error.c_str());
        return 1;
    }
    for (const Step& step : kSequence) {
        step.type(*keyboard);
        printStep(step, *keywatch, *applications);
    }
    keywatch->closeStdin();
    keywatch->readRemainingStdout(3000ms);
    const auto status = keywatch->waitExit(3000ms);
    std::printf("end of input: keywatch exited with status %d\n", status.value_or(-1));
    return status == 0 ? 0 : 1;
}
