#include "keywatch_guest_run.h"

#include <utility>

namespace kwguest {

bool isHeartbeat(const std::string& line)
{
    return line.rfind("{\"t\":\"hb\"", 0) == 0;
}

std::optional<GuestKeywatch> GuestKeywatch::start(const RunOptions& options, std::string* error)
{
    testsupport::ChildOptions child;
    child.argv = {KEYWATCH_PATH};
    child.argv.insert(child.argv.end(), options.args.begin(), options.args.end());
    child.removeEnv = {"DISPLAY"};
    auto spawned = testsupport::Child::spawn(child, error);
    if (!spawned) {
        return std::nullopt;
    }
    GuestKeywatch run(std::move(*spawned));
    if (!options.expectOk) {
        return run;
    }
    auto ok = run.line();
    if (!ok || ok->rfind("{\"t\":\"ok\"", 0) != 0) {
        if (error != nullptr) {
            *error = "no ok line: " + ok.value_or("(none)") + "; stderr: " + run.child_->readStderr(100ms);
        }
        return std::nullopt;
    }
    run.okLine_ = *ok;
    if (options.openVirtual) {
        // It exists before the ok line is written.
        run.virtual_ = testsupport::InputReader::openByName(kVirtualKeyboard, 0ms, error);
        if (!run.virtual_) {
            return std::nullopt;
        }
    }
    return run;
}

std::optional<std::string> GuestKeywatch::line(milliseconds timeout)
{
    return child_->readLine(timeout);
}

std::optional<std::string> GuestKeywatch::event(milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        const auto left = std::chrono::duration_cast<milliseconds>(deadline - std::chrono::steady_clock::now());
        auto next = child_->readLine(std::max(left, 0ms));
        if (!next || !isHeartbeat(*next)) {
            return next;
        }
    }
}

std::optional<int> GuestKeywatch::finish(milliseconds timeout)
{
    child_->closeStdin();
    // A full pipe would hold keywatch up on its way out.
    child_->readRemainingStdout(timeout);
    return child_->waitExit(timeout);
}

}  // namespace kwguest
