// Whole writes to a descriptor that the process does not own.
#pragma once

#include <cstddef>

namespace recorder {

// Writes all `size` bytes, retrying after interruptions and short writes.
// False when the descriptor refuses (closed pipe, never opened, ...).
bool writeAll(int fd, const void* data, size_t size);

}  // namespace recorder
