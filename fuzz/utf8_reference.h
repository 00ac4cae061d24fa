// A second, independent reading of UTF-8 for the fuzz targets to hold the
// recorder's repair against. It works on code point arithmetic rather than
// on a table of byte ranges, so the two cannot share a mistake.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace fuzz {

struct SequenceShape {
    size_t length = 0;    // 0: the byte cannot begin a sequence
    uint32_t leadBits = 0;
    uint32_t smallest = 0;  // below this the encoding is overlong
};

inline SequenceShape shapeOf(uint8_t lead)
{
    if (lead < 0x80) {
        return {1, lead, 0};
    }
    if ((lead & 0xE0) == 0xC0) {
        return {2, lead & 0x1Fu, 0x80};
    }
    if ((lead & 0xF0) == 0xE0) {
        return {3, lead & 0x0Fu, 0x800};
    }
    if ((lead & 0xF8) == 0xF0) {
        return {4, lead & 0x07u, 0x10000};
    }
    return {};
}

inline bool isScalarValue(uint32_t cp)
{
    return cp <= 0x10FFFF && (cp < 0xD800 || cp > 0xDFFF);
}

// True when `count` bytes from `at` begin some well-formed sequence: the
// code points they leave open include a scalar value that is not overlong.
inline bool beginsWellFormed(std::string_view bytes, size_t at, size_t count)
{
    const SequenceShape shape = shapeOf(static_cast<uint8_t>(bytes[at]));
    if (shape.length == 0 || count > shape.length || at + count > bytes.size()) {
        return false;
    }
    uint32_t known = shape.leadBits;
    for (size_t i = 1; i < count; ++i) {
        const auto next = static_cast<uint8_t>(bytes[at + i]);
        if ((next & 0xC0) != 0x80) {
            return false;
        }
        known = (known << 6) | (next & 0x3Fu);
    }
    const size_t openBits = 6 * (shape.length - count);
    const uint32_t lowest = known << openBits;
    const uint32_t highest = lowest | ((1u << openBits) - 1);
    // The open range must meet [smallest, 0x10FFFF] outside the surrogates.
    const uint32_t from = lowest > shape.smallest ? lowest : shape.smallest;
    const uint32_t to = highest < 0x10FFFF ? highest : 0x10FFFF;
    if (from > to) {
        return false;
    }
    return from < 0xD800 || to > 0xDFFF;
}

inline bool completeAt(std::string_view bytes, size_t at, size_t& length)
{
    length = shapeOf(static_cast<uint8_t>(bytes[at])).length;
    return length > 0 && beginsWellFormed(bytes, at, length);
}

inline bool isValidUtf8(std::string_view bytes)
{
    size_t at = 0;
    while (at < bytes.size()) {
        size_t length = 0;
        if (!completeAt(bytes, at, length)) {
            return false;
        }
        at += length;
    }
    return true;
}

// Every maximal ill-formed subpart becomes one U+FFFD: the longest run from
// a position that still begins a well-formed sequence, or one byte.
inline std::string repairUtf8(std::string_view bytes)
{
    std::string out;
    size_t at = 0;
    while (at < bytes.size()) {
        size_t length = 0;
        if (completeAt(bytes, at, length)) {
            out.append(bytes.substr(at, length));
            at += length;
            continue;
        }
        size_t subpart = 1;
        while (beginsWellFormed(bytes, at, subpart + 1)) {
            ++subpart;
        }
        out.append("\xEF\xBF\xBD");
        at += subpart;
    }
    return out;
}

}  // namespace fuzz
