// keywatch's command line: the probe scan, the options, the watched keys,
// the remap value, the direct map's pairs and the cycle check. What the
// parser sets must be what an independent reading of the words gives, and
// once the cycles are dropped no mapping may lead back to itself: an
// injected key passes through keywatch's own tap and would be mapped again.
//
// Input: the words of the command line, separated by NUL bytes.
#include "fuzz_support.h"
#include "options.h"
#include "stdin_reader.h"

#include <algorithm>
#include <array>
#include <climits>
#include <optional>
#include <string>

namespace {

using fuzz::require;

int digitValue(char c)
{
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'z') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'Z') {
        return c - 'A' + 10;
    }
    return 99;
}

// strtol's reading of a word (base 0 or 10): blanks, a sign, with base 0 a
// 0x or 0 prefix, digits; 0 without digits; saturated on overflow.
long readLong(std::string_view text, int base)
{
    size_t at = 0;
    const bool negative = fuzz::skipBlanksAndSign(text, at);
    if (base == 0) {
        const bool hexPrefix = at + 2 < text.size() && text[at] == '0' && (text[at + 1] | 0x20) == 'x' &&
                               digitValue(text[at + 2]) < 16;
        base = hexPrefix ? 16 : (at < text.size() && text[at] == '0' ? 8 : 10);
        at += hexPrefix ? 2 : 0;
    }
    constexpr unsigned long long kMagnitudeCap = 1ULL << 63;
    unsigned long long magnitude = 0;
    for (; at < text.size() && digitValue(text[at]) < base; ++at) {
        // Past the cap the magnitude only has to stay beyond every long.
        const auto digit = static_cast<unsigned long long>(digitValue(text[at]));
        const auto radix = static_cast<unsigned long long>(base);
        if (magnitude > (kMagnitudeCap + 1 - digit) / radix) {
            magnitude = kMagnitudeCap + 1;
        } else {
            magnitude = magnitude * radix + digit;
        }
    }
    if (negative) {
        return magnitude >= kMagnitudeCap ? LONG_MIN : -static_cast<long>(magnitude);
    }
    return magnitude >= kMagnitudeCap ? LONG_MAX : static_cast<long>(magnitude);
}

int32_t low32(long value)
{
    return static_cast<int32_t>(static_cast<uint32_t>(static_cast<unsigned long>(value)));
}

// One "%d" of sscanf: blanks, a sign and at least one digit. `fits` is
// false when the number lies outside int; such a pair names nothing.
struct Scanned {
    long long value = 0;
    bool fits = true;
};

std::optional<Scanned> scanInt(std::string_view text, size_t& at)
{
    const bool negative = fuzz::skipBlanksAndSign(text, at);
    if (at == text.size() || digitValue(text[at]) >= 10) {
        return std::nullopt;
    }
    Scanned number;
    for (; at < text.size() && digitValue(text[at]) < 10; ++at) {
        if (number.fits) {
            number.value = number.value * 10 + digitValue(text[at]);
            number.fits = number.value <= static_cast<long long>(INT_MAX) + 1;
        }
    }
    number.value = negative ? -number.value : number.value;
    number.fits = number.fits && number.value >= INT_MIN && number.value <= INT_MAX;
    return number;
}

struct Model {
    Probe probe = Probe::none;
    bool debug = false;
    int32_t remap = -1;
    std::vector<int32_t> watched;
    std::array<int32_t, kDirectMapSize> map;
};

// A pair "a:b" with a from 0 to 255 maps a to b, or clears a for b < 0.
void readPair(std::string_view word, Model& model)
{
    size_t at = 0;
    const auto key = scanInt(word, at);
    if (!key || at == word.size() || word[at] != ':') {
        return;
    }
    ++at;
    const auto code = scanInt(word, at);
    if (!code || !key->fits || !code->fits) {
        return;
    }
    if (key->value < 0 || key->value >= kDirectMapSize) {
        return;
    }
    const auto vk = static_cast<size_t>(key->value);
    model.map[vk] = code->value < 0 ? -1 : static_cast<int32_t>(code->value);
}

Model readWords(const std::vector<std::string>& words)
{
    Model model;
    model.map.fill(-1);
    for (const std::string& word : words) {
        if (word == "--check-im" || word == "--check-sec") {
            model.probe = word == "--check-im" ? Probe::listenAccess : Probe::secureInput;
            break;
        }
    }
    bool mapMode = false;
    for (size_t i = 0; i < words.size(); ++i) {
        const std::string& word = words[i];
        if (word == "--debug") {
            model.debug = true;
        } else if (word == "--remap") {
            if (i + 1 < words.size()) {
                model.remap = low32(readLong(words[++i], 0));
            }
        } else if (word == "--map") {
            mapMode = true;
        } else if (mapMode) {
            readPair(word, model);
        } else if (model.watched.size() < kMaxWatchedKeys) {
            model.watched.push_back(low32(readLong(word, 10)));
        }
    }
    return model;
}

using DirectMap = std::array<int32_t, kDirectMapSize>;

bool watches(const std::vector<int32_t>& watched, int32_t vk)
{
    return std::find(watched.begin(), watched.end(), vk) != watched.end();
}

// The watched key whose mapping fires when `vk`'s injected key comes back
// through the tap, or -1.
int32_t successor(const DirectMap& map, const std::vector<int32_t>& watched, size_t vk)
{
    if (map[vk] < 0 || !watches(watched, static_cast<int32_t>(vk))) {
        return -1;
    }
    const int32_t next = macToVK(static_cast<uint32_t>(map[vk]) & 0xFFFF);
    if (next < 0 || next >= kDirectMapSize || map[static_cast<size_t>(next)] < 0 || !watches(watched, next)) {
        return -1;
    }
    return next;
}

// Keys on a cycle: what is left after peeling off every key that nothing
// leads to, again and again (each key leads to at most one other).
std::array<bool, kDirectMapSize> keysOnCycles(const DirectMap& map, const std::vector<int32_t>& watched)
{
    std::array<int, kDirectMapSize> incoming{};
    std::array<int32_t, kDirectMapSize> next{};
    for (size_t vk = 0; vk < kDirectMapSize; ++vk) {
        next[vk] = successor(map, watched, vk);
        if (next[vk] >= 0) {
            ++incoming[static_cast<size_t>(next[vk])];
        }
    }
    std::array<bool, kDirectMapSize> remaining;
    remaining.fill(true);
    std::vector<size_t> peel;
    for (size_t vk = 0; vk < kDirectMapSize; ++vk) {
        if (incoming[vk] == 0) {
            peel.push_back(vk);
        }
    }
    while (!peel.empty()) {
        const size_t vk = peel.back();
        peel.pop_back();
        remaining[vk] = false;
        if (next[vk] >= 0 && --incoming[static_cast<size_t>(next[vk])] == 0) {
            peel.push_back(static_cast<size_t>(next[vk]));
        }
    }
    return remaining;
}

DirectMap currentMap()
{
    DirectMap map;
    std::copy(directMap, directMap + kDirectMapSize, map.begin());
    return map;
}

void checkParse(const Model& model, const DirectMap& parsed)
{
    require(debugMode == model.debug, "--debug sets debug mode");
    require(remapKeycode == model.remap, "--remap takes the next word as strtol reads it");
    require(std::vector<int32_t>(activeVKs, activeVKs + activeVKCount) == model.watched,
            "the first 256 data words before --map are the watched keys");
    for (size_t vk = 0; vk < kDirectMapSize; ++vk) {
        require(parsed[vk] == model.map[vk], "each well-formed pair maps its key, the last one wins");
    }
}

void checkCycles(const DirectMap& parsed, const std::vector<int32_t>& watched)
{
    const std::array<bool, kDirectMapSize> onCycle = keysOnCycles(parsed, watched);
    const DirectMap kept = currentMap();
    for (size_t vk = 0; vk < kDirectMapSize; ++vk) {
        require(kept[vk] == (onCycle[vk] ? -1 : parsed[vk]), "exactly the mappings on a cycle are dropped");
    }
    for (size_t start = 0; start < kDirectMapSize; ++start) {
        size_t vk = start;
        int steps = 0;
        for (int32_t next = successor(kept, watched, vk); next >= 0; next = successor(kept, watched, vk)) {
            vk = static_cast<size_t>(next);
            require(++steps <= kDirectMapSize, "no mapping chain comes back on itself");
        }
    }
}

std::vector<std::string> splitWords(const uint8_t* data, size_t size)
{
    std::vector<std::string> words;
    if (size == 0) {
        return words;
    }
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    for (size_t at = 0;;) {
        const size_t nul = input.find('\0', at);
        words.emplace_back(input.substr(at, nul == std::string_view::npos ? std::string_view::npos : nul - at));
        if (nul == std::string_view::npos) {
            return words;
        }
        at = nul + 1;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::vector<std::string> words = splitWords(data, size);
    std::vector<char*> argv{const_cast<char*>("keywatch")};
    for (std::string& word : words) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);
    const int argc = static_cast<int>(argv.size()) - 1;

    const Model model = readWords(words);
    require(findProbe(argc, argv.data()) == model.probe, "the first probe word among all words decides");

    resetOptionGlobals();
    parseOptions(argc, argv.data());
    const DirectMap parsed = currentMap();
    checkParse(model, parsed);
    const std::vector<int32_t> watched(activeVKs, activeVKs + activeVKCount);
    dropDirectMapCycles();
    checkCycles(parsed, watched);
    return 0;
}
