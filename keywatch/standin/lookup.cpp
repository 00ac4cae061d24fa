// Optional system functions, answered by the backend where it has them.
// The framework path does not matter here: there are no frameworks.
#include "../lookup.h"

#include "backend.h"

#include <CoreFoundation/CoreFoundation.h>

#include <cstring>

namespace {

bool preflightListenEventAccess() { return standin::currentBackend()->listenAccessGranted(); }

Boolean isSecureEventInputEnabled() { return standin::currentBackend()->secureInputEnabled() ? 1 : 0; }

template <class Function>
void* addressOf(Function* function)
{
    return reinterpret_cast<void*>(function);
}

} // namespace

void* lookupSystemFunction(const char*, const char* symbol)
{
    if (!symbol)
        return nullptr;
    const auto backend = standin::currentBackend();
    if (std::strcmp(symbol, "CGPreflightListenEventAccess") == 0 && backend->providesListenAccess())
        return addressOf(&preflightListenEventAccess);
    if (std::strcmp(symbol, "IsSecureEventInputEnabled") == 0 && backend->providesSecureInput())
        return addressOf(&isSecureEventInputEnabled);
    return nullptr;
}
