#include "lookup.h"

#include <dlfcn.h>

// The frameworks stay loaded for the life of the process, as system
// frameworks do anyway, so the handle is never closed.
void* lookupSystemFunction(const char* frameworkPath, const char* symbol)
{
    void* framework = dlopen(frameworkPath, RTLD_LAZY);
    if (framework == nullptr)
        return nullptr;
    return dlsym(framework, symbol);
}
