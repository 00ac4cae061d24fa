// Constant strings: the run-loop mode names.
#pragma once

#include "object.h"

#include <string>

struct __CFString : standin::Object {
    explicit __CFString(std::string value) : text(std::move(value)) {}
    const std::string text;
};

namespace standin {

// The mode's name; empty for null.
const std::string& modeName(CFStringRef mode);

} // namespace standin
