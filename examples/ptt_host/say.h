// The host's report: one human-readable line per notable thing, written at
// once so that a reader on a pipe sees it when it happens.
#pragma once

#include <cstdio>
#include <string>

namespace ptthost {

inline void say(const std::string& line)
{
    std::fputs(line.c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

}  // namespace ptthost
