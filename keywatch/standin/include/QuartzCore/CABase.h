/* The one QuartzCore call keywatch makes: a clock for elapsed time. It is
   declared in this header, which plain C++ can include; the framework's
   umbrella header also brings in Objective-C. */
#pragma once

#include <CoreFoundation/CoreFoundation.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Seconds on the system's monotonic clock, which no setting of the wall
   clock moves. */
CFTimeInterval CACurrentMediaTime(void);

#ifdef __cplusplus
}
#endif
