// The least any grabbing tap must add to a key's way: a thread that holds
// a device, wakes for each event and writes it again through uinput. The
// figure keywatch is measured against.
#pragma once

#include "uinput_keyboard.h"

#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <thread>

namespace bench {

class RelayChain {
public:
    // Grabs `inputNode` and re-emits its key events on a new device called
    // `outputName`, which has `codes`.
    static std::unique_ptr<RelayChain> start(const std::string& inputNode, const std::string& outputName,
                                             const std::vector<unsigned>& codes);
    ~RelayChain();
    RelayChain(const RelayChain&) = delete;
    RelayChain& operator=(const RelayChain&) = delete;

    const std::string& outputNode() const { return output_.devnode(); }

private:
    RelayChain(int input, int stop, testsupport::UinputKeyboard output);
    void run();

    int input_;
    int stop_;
    testsupport::UinputKeyboard output_;
    std::thread thread_;
};

}  // namespace bench
