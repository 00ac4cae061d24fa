// Cuts what a helper writes on its standard output into lines.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace ptthost {

class LineReader {
public:
    // Longer lines are cut here; the rest up to the next line feed is
    // dropped. Neither helper comes near it.
    static constexpr size_t kMaxLine = 64 * 1024;

    // Reads once from the non-blocking `fd` and appends the lines completed
    // by it to `lines`. False at end of file or on a read error.
    bool readFrom(int fd, std::vector<std::string>& lines);

    // Adds bytes; each complete line goes to `lines` without its LF (or CR LF).
    void feed(std::string_view bytes, std::vector<std::string>& lines);

private:
    std::string partial_;
    bool skipping_ = false;  // inside the tail of an overlong line
};

}  // namespace ptthost
