#include "relay_chain.h"

#include <fcntl.h>
#include <linux/input.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <array>
#include <tuple>

namespace bench {

std::unique_ptr<RelayChain> RelayChain::start(const std::string& inputNode, const std::string& outputName,
                                              const std::vector<unsigned>& codes)
{
    auto output = testsupport::UinputKeyboard::createWithKeys(outputName, codes);
    const int input = ::open(inputNode.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    const int stop = ::eventfd(0, EFD_CLOEXEC);
    if (!output || input < 0 || stop < 0 || ::ioctl(input, EVIOCGRAB, 1) != 0) {
        for (const int fd : {input, stop}) {
            if (fd >= 0) {
                ::close(fd);
            }
        }
        return nullptr;
    }
    std::unique_ptr<RelayChain> relay{new RelayChain(input, stop, std::move(*output))};
    relay->thread_ = std::thread([raw = relay.get()] { raw->run(); });
    return relay;
}

RelayChain::RelayChain(int input, int stop, testsupport::UinputKeyboard output)
    : input_(input), stop_(stop), output_(std::move(output))
{
}

RelayChain::~RelayChain()
{
    const uint64_t one = 1;
    std::ignore = ::write(stop_, &one, sizeof one);
    thread_.join();
    ::close(input_);
    ::close(stop_);
}

void RelayChain::run()
{
    std::array<pollfd, 2> fds{{{input_, POLLIN, 0}, {stop_, POLLIN, 0}}};
    std::array<input_event, 16> events{};
    while (::poll(fds.data(), fds.size(), -1) > 0 && (fds[1].revents & POLLIN) == 0) {
        const ssize_t length = ::read(input_, events.data(), sizeof events);
        for (ssize_t i = 0; length > 0 && i < length / static_cast<ssize_t>(sizeof(input_event)); ++i) {
            const input_event& event = events[static_cast<size_t>(i)];
            if (event.type == EV_KEY) {
                output_.send(event.code, event.value);
            }
        }
    }
}

}  // namespace bench
