// Optional system functions, looked up at run time by the path of the
// framework that carries them and their symbol name.
#pragma once

// The function's address, or null when the framework or the symbol is absent.
void* lookupSystemFunction(const char* frameworkPath, const char* symbol);
