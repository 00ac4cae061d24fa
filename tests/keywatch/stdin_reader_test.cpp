// The stdin command reader: the commands, the line buffer and the ends of
// the reader loop; macToVK and simulateKey.
#include "keywatch_fixture.h"

#include "key_state.h"
#include "lifecycle.h"
#include "stdin_reader.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <future>
#include <optional>
#include <set>
#include <thread>

namespace kwtest {
namespace {

class StdinReader : public KeywatchTest {
protected:
    // Key codes of the key-down events posted so far.
    std::vector<CGKeyCode> pressed()
    {
        std::vector<CGKeyCode> codes;
        for (const standin::PostedEvent& event : keyboard->posted()) {
            if (event.type == kCGEventKeyDown)
                codes.push_back(event.keyCode);
        }
        return codes;
    }

    void feed(LineBuffer& buffer, const std::string& bytes) { takeInput(buffer, bytes.data(), bytes.size()); }
};

struct CommandCase {
    const char* line;
    std::optional<bool> watch;  // nullopt: the watch is left as it was (off)
    int32_t reset;
    std::vector<CGKeyCode> pressed;
};

TEST_F(StdinReader, CommandsAndWhatTheyDo)
{
    const CommandCase cases[] = {
        {R"({"c":"watch-caps"})", true, 0, {}},
        {R"({"c":"unwatch-caps"})", false, 0, {}},
        {R"({"c":"reset"})", std::nullopt, 1, {}},
        {R"({"c": "reset"})", std::nullopt, 0, {}},
        {R"({"c":"reset","kc":49})", std::nullopt, 1, {}},
        {R"({"kc":49,"c":"watch-caps"})", true, 0, {}},
        {R"({"kc":49})", std::nullopt, 0, {49}},
        {R"({"kc":  7})", std::nullopt, 0, {7}},
        {R"({"kc":+8})", std::nullopt, 0, {8}},
        {R"({"kc":65535})", std::nullopt, 0, {65535}},
        {R"({"kc":12xyz})", std::nullopt, 0, {12}},
        {"{\"c\":\"reset\"}\r", std::nullopt, 1, {}},
        {"{\"kc\":36}\r", std::nullopt, 0, {36}},
        // Nothing to press in these: no number, negative, too large.
        {R"({"kc":-1})", std::nullopt, 0, {}},
        {R"({"kc":"a"})", std::nullopt, 0, {}},
        {R"({"kc":})", std::nullopt, 0, {}},
        {R"({"kc":-})", std::nullopt, 0, {}},
        {R"({"kc":65536})", std::nullopt, 0, {}},
        {R"({"kc":99999999999999999999})", std::nullopt, 0, {}},
        {R"({"kc" :1})", std::nullopt, 0, {}},
        {"", std::nullopt, 0, {}},
        {"not json", std::nullopt, 0, {}},
    };
    for (const CommandCase& c : cases) {
        watchPhysicalCapsOnce.store(c.watch ? !*c.watch : false);
        gResetRequested.store(0);
        keyboard->clearPosted();
        processCommandLine(c.line);
        EXPECT_EQ(watchPhysicalCapsOnce.load(), c.watch.value_or(false)) << c.line;
        EXPECT_EQ(gResetRequested.load(), c.reset) << c.line;
        EXPECT_EQ(pressed(), c.pressed) << c.line;
    }
}

TEST_F(StdinReader, KeyPressIsADownThenAnUpWithoutFlags)
{
    processCommandLine(R"({"kc":3})");
    const std::vector<standin::PostedEvent> posted = keyboard->posted();
    ASSERT_EQ(posted.size(), 2u);
    EXPECT_EQ(posted[0].type, kCGEventKeyDown);
    EXPECT_EQ(posted[1].type, kCGEventKeyUp);
    EXPECT_EQ(posted[1].keyCode, 3);
    EXPECT_EQ(posted[0].flags | posted[1].flags, 0u);
    EXPECT_EQ(posted[0].location, kCGHIDEventTap);
}

TEST_F(StdinReader, SimulateKeyPostsTheLowSixteenBits)
{
    simulateKey(65536 + 12);
    EXPECT_EQ(pressed(), std::vector<CGKeyCode>{12});
}

TEST_F(StdinReader, LinesAreTakenOnlyWhenTheirLineFeedArrives)
{
    LineBuffer buffer;
    feed(buffer, R"({"kc":1})");
    EXPECT_TRUE(pressed().empty());
    feed(buffer, "\n{\"kc\":");
    EXPECT_EQ(pressed(), std::vector<CGKeyCode>{1});
    feed(buffer, "2}\n{\"kc\":3}\n{\"c\":\"res");
    EXPECT_EQ(pressed(), (std::vector<CGKeyCode>{1, 2, 3}));
    EXPECT_EQ(gResetRequested.load(), 0);
    feed(buffer, "et\"}\r\n");
    EXPECT_EQ(gResetRequested.load(), 1);
    EXPECT_EQ(buffer.pending, 0u);
}

struct LongLineCase {
    const char* name;
    std::vector<std::string> reads;
    std::vector<CGKeyCode> pressed;
};

std::string padded(size_t length, const std::string& tail)
{
    return std::string(length - tail.size(), ' ') + tail;
}

TEST_F(StdinReader, OverlongLinesAreDroppedWholeUpToTheirLineFeed)
{
    const LongLineCase cases[] = {
        {"510 bytes fit", {padded(510, R"({"kc":4})") + "\n"}, {4}},
        {"511 bytes do not", {padded(511, R"({"kc":4})") + "\n" + R"({"kc":5})" + "\n"}, {5}},
        {"600 bytes over two reads", {padded(400, ""), padded(200, R"({"kc":4})") + "\n{\"kc\":6}\n"}, {6}},
        {"tail alone in a later read", {padded(511, ""), R"({"kc":4})", "\n", "{\"kc\":7}\n"}, {7}},
        {"1500 bytes over many reads",
         {padded(500, ""), padded(500, ""), padded(500, R"({"kc":4})"), "\n{\"kc\":8}\n"},
         {8}},
    };
    for (const LongLineCase& c : cases) {
        keyboard->clearPosted();
        LineBuffer buffer;
        for (const std::string& read : c.reads) {
            // One read never brings more than the buffer's room.
            for (size_t at = 0; at < read.size();) {
                const size_t room = 511 - buffer.pending;
                const size_t count = std::min(room, read.size() - at);
                takeInput(buffer, read.data() + at, count);
                at += count;
            }
        }
        EXPECT_EQ(pressed(), c.pressed) << c.name;
    }
}

// A pipe whose ends close with the test.
struct Pipe {
    int read = -1;
    int write = -1;
    Pipe()
    {
        int ends[2];
        if (::pipe(ends) == 0) {
            read = ends[0];
            write = ends[1];
        }
    }
    ~Pipe()
    {
        closeWrite();
        if (read >= 0)
            close(read);
    }
    void put(const std::string& bytes) { ASSERT_EQ(::write(write, bytes.data(), bytes.size()), ssize_t(bytes.size())); }
    void closeWrite()
    {
        if (write >= 0)
            close(write);
        write = -1;
    }
};

TEST_F(StdinReader, EndOfInputEndsTheReaderWithoutTheUnfinishedLine)
{
    Pipe input;
    input.put("{\"kc\":1}\n{\"kc\":2}\n{\"kc\":3}");
    input.closeWrite();
    EXPECT_EQ(readCommands(input.read, -1, -1), ReaderEnd::inputEnded);
    EXPECT_EQ(gParentEofDetected.load(), 1);
    EXPECT_EQ(pressed(), (std::vector<CGKeyCode>{1, 2}));
}

TEST_F(StdinReader, InputThatIsNotOpenEndsTheReaderAsAtEndOfInput)
{
    const int fd = open("/dev/null", O_RDONLY);
    ASSERT_GE(fd, 0);
    close(fd);
    EXPECT_EQ(readCommands(fd, -1, -1), ReaderEnd::inputEnded);
    EXPECT_EQ(gParentEofDetected.load(), 1);
}

TEST_F(StdinReader, WakeByteEndsTheReaderAndLeavesInputUnread)
{
    Pipe input;
    Pipe wake;
    input.put("{\"kc\":1}\n");
    wake.put("\x01");
    EXPECT_EQ(readCommands(input.read, wake.read, -1), ReaderEnd::woken);
    EXPECT_EQ(gParentEofDetected.load(), 0);
    EXPECT_TRUE(pressed().empty());
}

TEST_F(StdinReader, StopFlagIsSeenBeforeWaiting)
{
    Pipe input;
    gStopRequested.store(1);
    EXPECT_EQ(readCommands(input.read, -1, -1), ReaderEnd::stopRequested);
}

TEST_F(StdinReader, CommandsThatArriveWhileTheReaderWaits)
{
    Pipe input;
    std::thread reader([&] { readCommands(input.read, -1, -1); });
    input.put("{\"c\":\"watch-caps\"}\n{\"kc\":");
    input.put("9}\n");
    EXPECT_TRUE(keyboard->waitForPosted(2, 2000ms));
    input.closeWrite();
    reader.join();
    EXPECT_TRUE(watchPhysicalCapsOnce.load());
    EXPECT_EQ(pressed(), std::vector<CGKeyCode>{9});
}

// macOS's poll() refuses a terminal, as it refuses every device, with
// POLLNVAL and at once; Linux's watches one, so the refusal is made here.
int pollThatRefusesTheInput(pollfd* fds, nfds_t count, int)
{
    for (nfds_t i = 0; i < count; ++i)
        fds[i].revents = 0;
    fds[0].revents = POLLNVAL;
    return 1;
}

TEST_F(StdinReader, InputThatPollRefusesIsReadThroughSelect)
{
    gPoll = pollThatRefusesTheInput;
    Pipe input;
    input.put("{\"kc\":1}\n{\"kc\":2}\n");
    input.closeWrite();
    EXPECT_EQ(readCommands(input.read, -1, -1), ReaderEnd::inputEnded);
    EXPECT_EQ(pressed(), (std::vector<CGKeyCode>{1, 2}));
}

TEST_F(StdinReader, InputThatPollRefusesWaitsForCommandsAndTheWakeByte)
{
    gPoll = pollThatRefusesTheInput;
    Pipe input;
    Pipe wake;
    auto reader = std::async(std::launch::async, [&] { return readCommands(input.read, wake.read, -1); });
    input.put("{\"kc\":3}\n");
    EXPECT_TRUE(keyboard->waitForPosted(2, 2000ms));
    wake.put("\x01");
    const bool ended = reader.wait_for(2000ms) == std::future_status::ready;
    if (!ended)
        input.closeWrite();  // the end of input stops a reader that missed the wake byte
    ASSERT_TRUE(ended) << "the wake byte did not end the reader";
    EXPECT_EQ(reader.get(), ReaderEnd::woken);
    EXPECT_EQ(pressed(), std::vector<CGKeyCode>{3});
}

// The same refusal for a descriptor that is not open is an end of input.
TEST_F(StdinReader, InputThatPollRefusesAndIsClosedEndsTheReader)
{
    gPoll = pollThatRefusesTheInput;
    const int fd = open("/dev/null", O_RDONLY);
    ASSERT_GE(fd, 0);
    close(fd);
    EXPECT_EQ(readCommands(fd, -1, -1), ReaderEnd::inputEnded);
    EXPECT_EQ(gParentEofDetected.load(), 1);
}

// Without a heartbeat, the reader is what notices a dead parent.
TEST_F(StdinReader, WatchedParentThatDiesEndsTheReader)
{
    Pipe input;
    const pid_t child = fork();
    if (child == 0)
        _exit(0);
    waitpid(child, nullptr, 0);
    gParentPid = child;
    EXPECT_EQ(readCommands(input.read, -1, 10), ReaderEnd::parentGone);
    EXPECT_EQ(gParentEofDetected.load(), 0);
}

TEST(KeywatchKeyCodes, MacToVK)
{
    const std::pair<uint32_t, int32_t> cases[] = {
        {0, 0x41}, {11, 0x42}, {8, 0x43}, {36, 0x0D}, {49, 0x20}, {10, -1},
        {18, -1},  {48, -1},   {50, -1},  {57, -1},   {0xFFFFFFFFu, -1},
    };
    for (const auto& [keycode, vk] : cases)
        EXPECT_EQ(macToVK(keycode), vk) << keycode;
    std::set<int32_t> letters;
    int withoutCode = 0;
    for (uint32_t keycode = 0; keycode < 50; ++keycode) {
        const int32_t vk = macToVK(keycode);
        if (vk >= 'A' && vk <= 'Z')
            letters.insert(vk);
        withoutCode += vk == -1 ? 1 : 0;
    }
    EXPECT_EQ(letters.size(), 26u);
    EXPECT_EQ(withoutCode, 22);
}

}  // namespace
}  // namespace kwtest
