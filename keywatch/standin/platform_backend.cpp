// The backend the stand-in uses when none was installed: the X11 one. It
// looks for the display each time it needs it, so a display that is absent
// at start only makes tap creation fail, and one that goes away and comes
// back is found again when the tap is re-created.
#include "backend.h"
#include "x11_backend.h"

namespace standin {

std::unique_ptr<Backend> makePlatformBackend() { return x11::makeX11Backend(); }

} // namespace standin
