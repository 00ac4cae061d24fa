// Every line keywatch writes, to the byte.
#include "keywatch_fixture.h"
#include "lines.h"

#include <unistd.h>

#include <functional>

namespace kwtest {
namespace {

struct LineCase {
    const char* name;
    std::function<bool()> write;
    const char* expected;
};

const HeartbeatReport kHealthy{true, true, false};
const HeartbeatReport kRepairFailed{false, false, true};

const LineCase kLineCases[] = {
    {"im probe", [] { return writeListenProbeLine(1); }, "{\"im\":1}\n"},
    {"sec probe", [] { return writeSecureProbeLine(true, true); }, "{\"sec\":true,\"resolved\":true}\n"},
    {"sec probe unresolved", [] { return writeSecureProbeLine(false, false); }, "{\"sec\":false,\"resolved\":false}\n"},
    {"err", [] { return writeErrLine(); }, "{\"t\":\"err\",\"m\":\"all_taps_failed\"}\n"},
    {"ok", [] { return writeOkLine(2, false, -1, 60); }, "{\"t\":\"ok\",\"tap\":2,\"en\":false,\"im\":-1,\"remap\":60}\n"},
    {"re timeout", [] { return writeReLine(static_cast<int32_t>(kCGEventTapDisabledByTimeout)); },
     "{\"t\":\"re\",\"reason\":-2,\"reset\":true}\n"},
    {"re user input", [] { return writeReLine(static_cast<int32_t>(kCGEventTapDisabledByUserInput)); },
     "{\"t\":\"re\",\"reason\":-1,\"reset\":true}\n"},
    {"recreated", [] { return writeRecreatedLine(true, 1, "heartbeat_port_invalid"); },
     "{\"t\":\"recreated\",\"ok\":true,\"tap\":1,\"reason\":\"heartbeat_port_invalid\"}\n"},
    {"recreated without reason", [] { return writeRecreatedLine(false, -1, nullptr); },
     "{\"t\":\"recreated\",\"ok\":false,\"tap\":-1,\"reason\":\"unknown\"}\n"},
    {"upgraded", [] { return writeUpgradedLine(0, true); }, "{\"t\":\"upgraded\",\"tap\":0,\"en\":true}\n"},
    {"rs enter", [] { return writeRsLine(true); }, "{\"t\":\"rs\",\"reason\":\"secure_input_enter\"}\n"},
    {"rs exit", [] { return writeRsLine(false); }, "{\"t\":\"rs\",\"reason\":\"secure_input_exit\"}\n"},
    {"hb repaired", [] { return writeHeartbeatLine(kRepairFailed, -5, true, -1); },
     "{\"t\":\"hb\",\"en\":false,\"ev\":-5,\"sec\":true,\"reEnabled\":false,\"tap\":-1,\"valid\":false}\n"},
    {"hb", [] { return writeHeartbeatLine(kHealthy, 2147483647, false, 0); },
     "{\"t\":\"hb\",\"en\":true,\"ev\":2147483647,\"sec\":false,\"tap\":0,\"valid\":true}\n"},
    {"dbg", [] { return writeDbgLine(12, 57, 0x8000000000010000ULL); },
     "{\"t\":\"dbg\",\"type\":12,\"kc\":57,\"flags\":9223372036854841344}\n"},
    {"cpx", [] { return writeCpxLine(1); }, "{\"t\":\"cpx\",\"state\":1}\n"},
    {"drift", [] { return writeDriftLine(); }, "{\"t\":\"drift\"}\n"},
    {"cd", [] { return writeCapsDownLine(); }, "{\"t\":\"cd\"}\n"},
    {"cu", [] { return writeCapsUpLine(); }, "{\"t\":\"cu\"}\n"},
    {"csd", [] { return writeCapsShiftDownLine(); }, "{\"t\":\"csd\"}\n"},
    {"csu", [] { return writeCapsShiftUpLine(); }, "{\"t\":\"csu\"}\n"},
    {"kd", [] { return writeKeyDownLine(65); }, "{\"t\":\"kd\",\"v\":65}\n"},
    {"ku", [] { return writeKeyUpLine(32); }, "{\"t\":\"ku\",\"v\":32}\n"},
    {"pd", [] { return writeModifierDownLine(164); }, "{\"t\":\"pd\",\"v\":164}\n"},
    {"pu", [] { return writeModifierUpLine(163); }, "{\"t\":\"pu\",\"v\":163}\n"},
    {"pu stuck", [] { return writeStuckModifierUpLine(92); }, "{\"t\":\"pu\",\"v\":92,\"stuck\":true}\n"},
    {"cu stuck", [] { return writeStuckCapsUpLines(false); }, "{\"t\":\"cu\",\"stuck\":true}\n"},
    {"csu and cu stuck", [] { return writeStuckCapsUpLines(true); },
     "{\"t\":\"csu\",\"stuck\":true}\n{\"t\":\"cu\",\"stuck\":true}\n"},
};

TEST(KeywatchLines, EveryTemplateToTheByte)
{
    for (const LineCase& line : kLineCases) {
        CapturedLines captured;
        EXPECT_TRUE(line.write()) << line.name;
        EXPECT_EQ(captured.all(), line.expected) << line.name;
    }
}

// The heartbeat relies on this to notice a host that stopped reading.
TEST(KeywatchLines, WriteToAClosedPipeReportsFailure)
{
    signal(SIGPIPE, SIG_IGN);
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    close(ends[0]);
    FILE* stream = fdopen(ends[1], "w");
    ASSERT_NE(stream, nullptr);
    setLineOutput(stream);
    EXPECT_FALSE(writeHeartbeatLine(kHealthy, 0, false, 0));
    EXPECT_FALSE(writeStuckCapsUpLines(true));
    setLineOutput(nullptr);
    fclose(stream);
    signal(SIGPIPE, SIG_DFL);
}

}  // namespace
}  // namespace kwtest
