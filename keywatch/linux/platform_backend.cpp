// The backend the stand-in uses when none was installed: the Linux one,
// which finds the display and the keyboards each time it makes a tap, so
// that either may come and go.
#include "backend.h"
#include "linux_backend.h"

namespace standin {

std::unique_ptr<Backend> makePlatformBackend() { return linuxkb::makeLinuxBackend(); }

} // namespace standin
