// Reads command lines from a descriptor.
#pragma once

#include <optional>
#include <string>

namespace recorder {

class LineReader {
public:
    explicit LineReader(int fd) : fd_(fd) {}

    // The next line without its LF (or CR LF); a last line without LF is
    // still a line. Nothing at end of input, which includes a descriptor
    // that is not open or fails to read.
    std::optional<std::string> next();

private:
    bool fill();

    int fd_;
    std::string buffered_;
    size_t scanned_ = 0;  // bytes of buffered_ known to hold no LF
    bool ended_ = false;
};

}  // namespace recorder
