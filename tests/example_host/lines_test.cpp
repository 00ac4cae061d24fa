// Lines from the helpers: cut from the byte stream, and what each keywatch
// line means to the host. Malformed lines are values, never exceptions.
#include "ptt_host/keywatch_line.h"
#include "ptt_host/line_reader.h"

#include <gtest/gtest.h>

namespace {

using ptthost::KeywatchLine;
using ptthost::LineReader;
using Kind = KeywatchLine::Kind;

TEST(LineReader, CutsLinesAcrossReadsAndDropsTheirEndings)
{
    LineReader reader;
    std::vector<std::string> lines;
    reader.feed("{\"t\":\"c", lines);
    EXPECT_TRUE(lines.empty());
    reader.feed("d\"}\n{\"t\":\"cu\"}\r\n\nhalf", lines);
    EXPECT_EQ(lines, (std::vector<std::string>{R"({"t":"cd"})", R"({"t":"cu"})", ""}));
    lines.clear();
    reader.feed(" done\n", lines);
    EXPECT_EQ(lines, std::vector<std::string>{"half done"});
}

TEST(LineReader, CutsAnOverlongLineAndSkipsItsRest)
{
    LineReader reader;
    std::vector<std::string> lines;
    const std::string longLine(LineReader::kMaxLine + 100, 'x');
    reader.feed(longLine.substr(0, 1000), lines);
    reader.feed(longLine.substr(1000) + "\nnext\n", lines);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].size(), LineReader::kMaxLine);
    EXPECT_EQ(lines[1], "next");
}

TEST(KeywatchLine, EachLineMeansWhatTheHostActsOn)
{
    struct Case {
        const char* line;
        Kind kind;
        std::string textHas = {};
        bool stuck = false;
        bool tapValid = true;
    };
    const Case cases[] = {
        {R"({"t":"ok","tap":2,"en":true,"im":0,"remap":-1})", Kind::Ready, "listen-only tap 2"},
        {R"({"t":"ok","tap":0,"en":true,"im":0,"remap":-1})", Kind::Ready, "active tap 0"},
        {R"({"t":"err","m":"all_taps_failed"})", Kind::Failed, "all_taps_failed"},
        {R"({"t":"cd"})", Kind::CapsDown},
        {R"({"t":"cu"})", Kind::CapsUp},
        {R"({"t":"cu","stuck":true})", Kind::CapsUp, "", true},
        {R"({"t":"hb","en":true,"ev":3,"sec":false,"tap":2,"valid":true})", Kind::Heartbeat},
        {R"({"t":"hb","en":false,"ev":3,"sec":false,"tap":-1,"valid":false})", Kind::Heartbeat, "", false, false},
        {R"({"t":"hb","tap":"two"})", Kind::Heartbeat, "", false, false},
        {R"({"t":"re","reason":-2,"reset":true})", Kind::KeysReset, "reason -2"},
        {R"({"t":"rs","reason":"secure_input_enter"})", Kind::KeysReset, "secure input switched on"},
        {R"({"t":"recreated","ok":false,"tap":-1,"reason":"heartbeat_port_invalid"})", Kind::Notice,
         "heartbeat_port_invalid: no tap, not working"},
        {R"({"t":"upgraded","tap":0,"en":true})", Kind::Notice, "active tap 0"},
        {R"({"t":"drift"})", Kind::Notice, "remap"},
        {R"({"t":"some_new_line","x":1})", Kind::Notice, "some_new_line"},
        {R"({"t":"csd"})", Kind::Ignored},
        {R"({"t":"pd","v":164})", Kind::Ignored},
        {R"({"t":"kd","v":65})", Kind::Ignored},
        {"not json", Kind::Unreadable, "not json"},
        {R"({"t":5})", Kind::Unreadable},
        {R"(["t","cd"])", Kind::Unreadable},
        {"", Kind::Unreadable},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        const KeywatchLine line = ptthost::readKeywatchLine(c.line);
        EXPECT_EQ(line.kind, c.kind);
        EXPECT_NE(line.text.find(c.textHas), std::string::npos) << line.text;
        EXPECT_EQ(line.stuck, c.stuck);
        if (c.kind == Kind::Heartbeat) {
            EXPECT_EQ(line.tapValid, c.tapValid);
        }
    }
}

}  // namespace
