#include "caps_lock_memory.h"

namespace x11 {

void CapsLockMemory::remember(const void* tap, bool locked)
{
    std::lock_guard lock(mutex_);
    tap_ = tap;
    locked_ = locked;
}

void CapsLockMemory::forget(const void* tap)
{
    std::lock_guard lock(mutex_);
    if (tap_ == tap) {
        tap_ = nullptr;
    }
}

std::optional<bool> CapsLockMemory::recalled() const
{
    std::lock_guard lock(mutex_);
    if (tap_ == nullptr) {
        return std::nullopt;
    }
    return locked_;
}

}  // namespace x11
