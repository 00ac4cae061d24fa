#include "keywatch_guest_run.h"

#include <poll.h>

#include <algorithm>
#include <sstream>
#include <utility>

namespace kwguest {

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
    auto ok = testsupport::readOkLine(*run.child_, kLineWait, error);
    if (!ok) {
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

bool GuestKeywatch::watchOutput(const std::string& name, std::string* error)
{
    virtual_.reset();
    virtual_ = testsupport::InputReader::openByName(name, kLineWait, error);
    return virtual_.has_value();
}

std::optional<std::string> GuestKeywatch::line(milliseconds timeout)
{
    return child_->readLine(timeout);
}

std::optional<std::string> GuestKeywatch::event(milliseconds timeout)
{
    return testsupport::nextEventLine(*child_, timeout);
}

std::optional<int> GuestKeywatch::finish(milliseconds timeout)
{
    child_->closeStdin();
    // A full pipe would hold keywatch up on its way out.
    child_->readRemainingStdout(timeout);
    return child_->waitExit(timeout);
}

std::vector<testsupport::KeyEvent> takeFromEither(testsupport::InputReader& first, testsupport::InputReader& second,
                                                  size_t count, milliseconds timeout)
{
    using Clock = std::chrono::steady_clock;
    std::vector<testsupport::KeyEvent> came;
    const auto deadline = Clock::now() + timeout;
    while (came.size() < count && Clock::now() < deadline) {
        pollfd readers[] = {{first.fd(), POLLIN, 0}, {second.fd(), POLLIN, 0}};
        const auto left = std::chrono::ceil<milliseconds>(deadline - Clock::now()).count();
        ::poll(readers, 2, static_cast<int>(std::max<int64_t>(left, 0)));
        for (testsupport::InputReader* reader : {&first, &second}) {
            for (const testsupport::KeyEvent& event : reader->drain()) {
                came.push_back(event);
            }
        }
    }
    return came;
}

std::string firstDifference(const std::vector<testsupport::KeyEvent>& sent,
                            const std::vector<testsupport::KeyEvent>& came)
{
    for (size_t i = 0; i < std::max(sent.size(), came.size()); ++i) {
        if (i >= sent.size() || i >= came.size() || !(sent[i] == came[i])) {
            std::ostringstream out;
            out << "event " << i << " of " << sent.size() << " sent, " << came.size() << " came: sent ";
            i < sent.size() ? out << sent[i] : out << "nothing";
            out << ", came ";
            i < came.size() ? out << came[i] : out << "nothing";
            return out.str();
        }
    }
    return "";
}

}  // namespace kwguest
