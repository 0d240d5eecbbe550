// The host process and the library module: where the executable lives, the
// module handle, and the debugger hook behind ECR_DEBUG.
#pragma once

#include <cstdint>
#include <string>

namespace veltra::sys {

// Full path of the host process's main executable (not of the library);
// empty when it cannot be obtained.
std::string executable_path();

// The library's module handle as the load notifications show it.
std::uintptr_t module_handle();

// True when a debugger is attached to this process.
bool debugger_attached();

// Stops in the attached debugger. Callers check debugger_attached() first:
// a trap without a debugger kills the host application.
void debug_trap();

}  // namespace veltra::sys
