/* The umbrella over the two frameworks keywatch uses. */
#pragma once

#include <CoreFoundation/CoreFoundation.h>
#include <CoreGraphics/CoreGraphics.h>
