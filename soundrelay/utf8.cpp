#include "utf8.h"

#include <cstdint>

namespace recorder {

namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

// Length of the well-formed sequence a lead byte announces, or 0.
size_t sequenceLength(uint8_t lead)
{
    if (lead < 0x80) {
        return 1;
    }
    if (lead >= 0xC2 && lead <= 0xDF) {
        return 2;
    }
    if (lead >= 0xE0 && lead <= 0xEF) {
        return 3;
    }
    if (lead >= 0xF0 && lead <= 0xF4) {
        return 4;
    }
    return 0;
}

// The allowed range of the byte after the lead; later bytes are 80..BF.
bool secondByteFits(uint8_t lead, uint8_t second)
{
    switch (lead) {
    case 0xE0:
        return second >= 0xA0 && second <= 0xBF;
    case 0xED:
        return second >= 0x80 && second <= 0x9F;
    case 0xF0:
        return second >= 0x90 && second <= 0xBF;
    case 0xF4:
        return second >= 0x80 && second <= 0x8F;
    default:
        return second >= 0x80 && second <= 0xBF;
    }
}

// How many bytes starting at `at` form a valid sequence; 0 when none do,
// with `consumed` set to the length of the maximal ill-formed prefix.
size_t validSequenceAt(std::string_view bytes, size_t at, size_t& consumed)
{
    const auto lead = static_cast<uint8_t>(bytes[at]);
    const size_t length = sequenceLength(lead);
    consumed = 1;
    if (length == 0) {
        return 0;
    }
    for (size_t i = 1; i < length; ++i) {
        if (at + i >= bytes.size()) {
            return 0;
        }
        const auto next = static_cast<uint8_t>(bytes[at + i]);
        const bool fits = i == 1 ? secondByteFits(lead, next) : (next >= 0x80 && next <= 0xBF);
        if (!fits) {
            return 0;
        }
        consumed = i + 1;
    }
    return length;
}

}  // namespace

std::string replaceInvalidUtf8(std::string_view bytes)
{
    std::string out;
    out.reserve(bytes.size());
    size_t at = 0;
    while (at < bytes.size()) {
        size_t consumed = 0;
        const size_t length = validSequenceAt(bytes, at, consumed);
        if (length > 0) {
            out.append(bytes.substr(at, length));
            at += length;
            continue;
        }
        out.append(kReplacement);
        at += consumed;
    }
    return out;
}

}  // namespace recorder
