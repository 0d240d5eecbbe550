// The executable, the module and the debugger on Windows.
#include "sys/module.hpp"

#include <windows.h>

namespace veltra::sys {

std::string executable_path() {
    char path[MAX_PATH];
    const DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
    // 0 is a failure; MAX_PATH means the path was cut.
    if (n == 0 || n >= MAX_PATH) return {};
    return std::string(path, n);
}

std::uintptr_t module_handle() {
    HMODULE module = nullptr;
    if (!GetModuleHandleExA(
            GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
            reinterpret_cast<LPCSTR>(&module_handle), &module)) {
        return 0;
    }
    return reinterpret_cast<std::uintptr_t>(module);
}

bool debugger_attached() {
    return IsDebuggerPresent() != FALSE;
}

void debug_trap() {
    DebugBreak();
}

}  // namespace veltra::sys
