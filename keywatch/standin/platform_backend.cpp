// The backend the stand-in uses when none was installed.
#include "backend.h"

namespace standin {

std::unique_ptr<Backend> makePlatformBackend() { return makeNullBackend(); }

} // namespace standin
