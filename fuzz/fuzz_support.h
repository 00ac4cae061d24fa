// What every fuzz target shares: a failed property stops the run loudly, and
// the tail of an input says how its body is cut into reads.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string_view>
#include <vector>

namespace fuzz {

// A violated property: says which one, then traps so that libFuzzer keeps
// the input as a crash.
[[noreturn]] inline void fail(const char* property)
{
    std::fprintf(stderr, "fuzz property violated: %s\n", property);
    __builtin_trap();
}

inline void require(bool holds, const char* property)
{
    if (!holds) {
        fail(property);
    }
}

// What the C library's number readers skip first: blanks as isspace sees
// them in the C locale, then one sign. True when the sign was '-'.
inline bool skipBlanksAndSign(std::string_view text, size_t& at)
{
    while (at < text.size() && std::string_view(" \t\n\v\f\r").find(text[at]) != std::string_view::npos) {
        ++at;
    }
    if (at < text.size() && (text[at] == '+' || text[at] == '-')) {
        return text[at++] == '-';
    }
    return false;
}

// An input as a body and the sizes of the reads that deliver it. The last
// byte counts the size bytes (at most 31) that stand just before it; with
// none, the body comes in one piece.
struct Chunked {
    std::string_view body;
    std::vector<size_t> sizes;  // used in turn, round and round

    // The size of the n-th read: small sizes byte by byte so that a
    // boundary can fall anywhere, large ones in steps of 32 up to 4096.
    size_t size(size_t n) const
    {
        if (sizes.empty()) {
            return body.size() > 0 ? body.size() : 1;
        }
        const size_t b = sizes[n % sizes.size()];
        return b < 128 ? b + 1 : (b - 127) * 32;
    }
};

inline Chunked splitChunked(const uint8_t* data, size_t size)
{
    Chunked input;
    if (size == 0) {
        return input;
    }
    const size_t avail = size - 1;
    const size_t count = std::min<size_t>(data[size - 1] % 32, avail);
    for (size_t i = avail - count; i < avail; ++i) {
        input.sizes.push_back(data[i]);
    }
    input.body = std::string_view(reinterpret_cast<const char*>(data), avail - count);
    return input;
}

}  // namespace fuzz
