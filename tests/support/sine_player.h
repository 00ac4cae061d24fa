// Plays a 440 Hz sine at half scale into a sink of an audio server, through
// libpulse, until destroyed: a source for servers whose own test sources
// stall under load. Its buffer rides out a busy machine's pauses.
#pragma once

#include <memory>
#include <optional>
#include <string>

namespace testsupport {

class SinePlayer {
public:
    // Empty with `error` filled in when the stream cannot be opened.
    static std::optional<SinePlayer> start(const std::string& server, const std::string& sink,
                                           std::string* error = nullptr);

    SinePlayer(SinePlayer&&) noexcept;
    SinePlayer& operator=(SinePlayer&&) noexcept;
    ~SinePlayer();

private:
    struct State;
    explicit SinePlayer(std::unique_ptr<State> state);
    std::unique_ptr<State> state_;
};

}  // namespace testsupport
