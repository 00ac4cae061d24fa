// The recorder's process: the Linux audio platform and one RecorderHelper
// on descriptors 0, 1 and 3.
#include "linux/linux_platform.h"
#include "recorder_helper.h"

#include <csignal>

int main()
{
    // A host that closed a pipe makes writes fail; it must not end us.
    std::signal(SIGPIPE, SIG_IGN);
    auto platform = makeLinuxAudioPlatform();
    recorder::RecorderHelper helper(*platform, recorder::Descriptors{0, 1, 3});
    // Never returns: the process exits from the command loop at end of input.
    helper.run();
}
