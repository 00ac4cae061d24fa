#include "lifecycle.h"

#include <fcntl.h>
#include <unistd.h>

// A standard descriptor the parent left closed would be handed to the first
// pipe or socket we open, and that would then be read as standard input or
// written as output. /dev/null, read-only, keeps each one meaning what it
// did: end of input for 0, failing writes for 1 and 2.
static void reserveClosedStandardDescriptors()
{
    for (int fd = 0; fd <= 2; ++fd) {
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

int main(int argc, char** argv)
{
    reserveClosedStandardDescriptors();
    return keywatchMain(argc, argv);
}
