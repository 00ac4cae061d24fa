// Stand-in for the dynamic loader's header of macOS, for the portability
// check only: the call the example host uses, as dyld(3) declares it.
// Never part of a build that runs.
#pragma once

#include <stdint.h>

extern "C" int _NSGetExecutablePath(char* buf, uint32_t* bufsize);
