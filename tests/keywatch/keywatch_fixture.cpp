#include "keywatch_fixture.h"

#include "event_tap.h"
#include "lifecycle.h"
#include "lines.h"
#include "options.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

namespace kwtest {

CapturedLines::CapturedLines() : stream_(open_memstream(&buffer_, &size_))
{
    setLineOutput(stream_);
}

CapturedLines::~CapturedLines()
{
    setLineOutput(nullptr);
    fclose(stream_);
    free(buffer_);
}

std::string CapturedLines::all()
{
    fflush(stream_);
    return std::string(buffer_, size_);
}

std::vector<std::string> CapturedLines::take()
{
    const std::string text = all();
    std::vector<std::string> result;
    for (;;) {
        const size_t lf = text.find('\n', consumed_);
        if (lf == std::string::npos)
            break;
        result.push_back(text.substr(consumed_, lf - consumed_));
        consumed_ = lf + 1;
    }
    return result;
}

bool pumpUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0.01, true);
    }
    return true;
}

pid_t deadPid()
{
    const pid_t child = fork();
    if (child == 0)
        _exit(0);
    waitpid(child, nullptr, 0);
    return child;
}

Words::Words(std::vector<std::string> words) : words_(std::move(words))
{
    words_.insert(words_.begin(), "keywatch");
    for (std::string& word : words_)
        pointers_.push_back(word.data());
    pointers_.push_back(nullptr);
}

void KeywatchTest::SetUp()
{
    resetKeywatchGlobals();
    keyboard = sim::Keyboard::install();
    // Times of 0 mean "not set"; start the clock well away from it.
    keyboard->advance(1000.0);
    lines = std::make_unique<CapturedLines>();
    configure({});
}

void KeywatchTest::TearDown()
{
    resetKeywatchGlobals();
    lines.reset();
}

void KeywatchTest::configure(const std::vector<std::string>& words)
{
    resetOptionGlobals();
    Words command(words);
    parseOptions(command.argc(), command.argv());
    dropDirectMapCycles();
}

void KeywatchTest::installTap()
{
    gEventMask = CGEventMaskBit(kCGEventKeyDown) | CGEventMaskBit(kCGEventKeyUp) | CGEventMaskBit(kCGEventFlagsChanged);
    gMainRunLoop = CFRunLoopGetCurrent();
    int32_t kind = -1;
    installEventTap(&kind);
}

void KeywatchTest::settle()
{
    EXPECT_TRUE(pumpUntil([&] { return keyboard->pendingEvents() == 0; }));
}

sim::Delivery KeywatchTest::send(CGEventType type, CGKeyCode keyCode, CGEventFlags flags)
{
    const size_t before = keyboard->deliveries().size();
    keyboard->script(type, keyCode, flags);
    EXPECT_TRUE(pumpUntil([&] { return keyboard->pendingEvents() == 0 && keyboard->deliveries().size() > before; }));
    const std::vector<sim::Delivery> settled = keyboard->deliveries();
    for (size_t i = before; i < settled.size(); ++i) {
        if (!settled[i].injected)
            return settled[i];
    }
    ADD_FAILURE() << "the event was never settled";
    return {};
}

}  // namespace kwtest
