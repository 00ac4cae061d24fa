// The recorder's process: the system's audio platform and one
// RecorderHelper on descriptors 0, 1 and 3.
#include "audio/system_platform.h"
#include "recorder_helper.h"

#include <fcntl.h>
#include <unistd.h>

#include <csignal>

namespace {

// A descriptor among 0 to 3 that the host left closed would be handed to the
// first pipe a library opens, and PCM or events would then go into it.
// /dev/null, read-only, keeps each one meaning what it did: end of input for
// 0, failing writes for 1 to 3.
void reserveClosedDescriptors()
{
    for (int fd = 0; fd <= 3; ++fd) {
        if (fcntl(fd, F_GETFD) >= 0) {
            continue;
        }
        const int reserved = open("/dev/null", O_RDONLY);
        if (reserved >= 0 && reserved != fd) {
            dup2(reserved, fd);
            close(reserved);
        }
    }
}

}  // namespace

int main()
{
    reserveClosedDescriptors();
    // A host that closed a pipe makes writes fail; it must not end us.
    std::signal(SIGPIPE, SIG_IGN);
    auto platform = makeSystemAudioPlatform();
    recorder::RecorderHelper helper(*platform, recorder::Descriptors{0, 1, 3});
    // Never returns: the process exits from the command loop at end of input.
    helper.run();
}
