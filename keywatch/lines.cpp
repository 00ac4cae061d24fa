#include "lines.h"

#include <cstdarg>

namespace {

FILE* chosenOutput = nullptr;

const char* word(bool value)
{
    return value ? "true" : "false";
}

__attribute__((format(printf, 1, 0))) bool writeFormatted(const char* format, va_list args)
{
    return vfprintf(lineOutput(), format, args) >= 0;
}

__attribute__((format(printf, 1, 2))) bool writeUnflushed(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    const bool written = writeFormatted(format, args);
    va_end(args);
    return written;
}

bool flushOutput()
{
    return fflush(lineOutput()) == 0;
}

__attribute__((format(printf, 1, 2))) bool writeFlushed(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    const bool written = writeFormatted(format, args);
    va_end(args);
    const bool flushed = flushOutput();
    return written && flushed;
}

// A line without placeholders, with its LF appended, in one write.
bool putLine(const char* text)
{
    return writeFlushed("%s\n", text);
}

}  // namespace

FILE* lineOutput()
{
    return chosenOutput != nullptr ? chosenOutput : stdout;
}

void setLineOutput(FILE* stream)
{
    chosenOutput = stream;
}

bool writeListenProbeLine(int32_t im)
{
    return writeUnflushed("{\"im\":%d}\n", im);
}

bool writeSecureProbeLine(bool sec, bool resolved)
{
    return writeUnflushed("{\"sec\":%s,\"resolved\":%s}\n", word(sec), word(resolved));
}

bool writeErrLine()
{
    return putLine("{\"t\":\"err\",\"m\":\"all_taps_failed\"}");
}

bool writeOkLine(int32_t tap, bool enabled, int32_t im, int32_t remap)
{
    return writeFlushed("{\"t\":\"ok\",\"tap\":%d,\"en\":%s,\"im\":%d,\"remap\":%d}\n", tap, word(enabled), im,
                        remap);
}

bool writeReLine(int32_t reason)
{
    return writeFlushed("{\"t\":\"re\",\"reason\":%d,\"reset\":true}\n", reason);
}

bool writeRecreatedLine(bool ok, int32_t tap, const char* reason)
{
    return writeFlushed("{\"t\":\"recreated\",\"ok\":%s,\"tap\":%d,\"reason\":\"%s\"}\n", word(ok), tap,
                        reason != nullptr ? reason : "unknown");
}

bool writeUpgradedLine(int32_t tap, bool enabled)
{
    return writeFlushed("{\"t\":\"upgraded\",\"tap\":%d,\"en\":%s}\n", tap, word(enabled));
}

bool writeRsLine(bool secureInputOn)
{
    return writeFlushed("{\"t\":\"rs\",\"reason\":\"%s\"}\n",
                        secureInputOn ? "secure_input_enter" : "secure_input_exit");
}

bool writeHeartbeatLine(const HeartbeatReport& report, int32_t events, bool sec, int32_t tap)
{
    if (report.repaired) {
        return writeFlushed("{\"t\":\"hb\",\"en\":%s,\"ev\":%d,\"sec\":%s,\"reEnabled\":%s,\"tap\":%d,\"valid\":%s}\n",
                            word(report.enabled), events, word(sec), word(report.enabled), tap,
                            word(report.valid));
    }
    return writeFlushed("{\"t\":\"hb\",\"en\":%s,\"ev\":%d,\"sec\":%s,\"tap\":%d,\"valid\":%s}\n",
                        word(report.enabled), events, word(sec), tap, word(report.valid));
}

bool writeDbgLine(int32_t type, int64_t keycode, CGEventFlags flags)
{
    return writeFlushed("{\"t\":\"dbg\",\"type\":%d,\"kc\":%lld,\"flags\":%llu}\n", type,
                        static_cast<long long>(keycode), static_cast<unsigned long long>(flags));
}

bool writeCpxLine(int32_t state)
{
    return writeFlushed("{\"t\":\"cpx\",\"state\":%d}\n", state);
}

bool writeDriftLine()
{
    return putLine("{\"t\":\"drift\"}");
}

bool writeCapsDownLine()
{
    return putLine("{\"t\":\"cd\"}");
}

bool writeCapsUpLine()
{
    return putLine("{\"t\":\"cu\"}");
}

bool writeCapsShiftDownLine()
{
    return putLine("{\"t\":\"csd\"}");
}

bool writeCapsShiftUpLine()
{
    return putLine("{\"t\":\"csu\"}");
}

bool writeKeyDownLine(int32_t vk)
{
    return writeFlushed("{\"t\":\"kd\",\"v\":%d}\n", vk);
}

bool writeKeyUpLine(int32_t vk)
{
    return writeFlushed("{\"t\":\"ku\",\"v\":%d}\n", vk);
}

bool writeModifierDownLine(int32_t vk)
{
    return writeFlushed("{\"t\":\"pd\",\"v\":%d}\n", vk);
}

bool writeModifierUpLine(int32_t vk)
{
    return writeFlushed("{\"t\":\"pu\",\"v\":%d}\n", vk);
}

bool writeStuckModifierUpLine(int32_t vk)
{
    return writeFlushed("{\"t\":\"pu\",\"v\":%d,\"stuck\":true}\n", vk);
}

bool writeStuckCapsUpLines(bool withShift)
{
    bool written = true;
    if (withShift)
        written = writeUnflushed("%s\n", "{\"t\":\"csu\",\"stuck\":true}");
    written = writeUnflushed("%s\n", "{\"t\":\"cu\",\"stuck\":true}") && written;
    return flushOutput() && written;
}
