// Reads command lines from a descriptor.
#pragma once

#include <optional>
#include <string>

namespace recorder {

struct InputLine {
    std::string text;
    // The line was longer than the reader holds; its text is dropped.
    bool overlong = false;
};

class LineReader {
public:
    // Commands are a few hundred bytes; a line far beyond that is refused
    // rather than held in memory until it ends.
    static constexpr size_t kMaxLineBytes = size_t{1} << 20;

    explicit LineReader(int fd, size_t maxLineBytes = kMaxLineBytes) : fd_(fd), maxLineBytes_(maxLineBytes) {}

    // The next line without its LF (or CR LF); a last line without LF is
    // still a line. Nothing at end of input, which includes a descriptor
    // that is not open or fails to read.
    std::optional<InputLine> next();

private:
    bool fill();

    int fd_;
    size_t maxLineBytes_;
    std::string buffered_;
    size_t scanned_ = 0;  // bytes of buffered_ known to hold no LF
    bool discarding_ = false;  // inside an overlong line, up to its LF
    bool ended_ = false;
};

}  // namespace recorder
