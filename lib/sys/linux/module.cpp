// The executable, the module and the debugger on Linux (its /proc).
#include "sys/module.hpp"

#include <dlfcn.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <vector>

namespace veltra::sys {

std::string executable_path() {
    std::vector<char> buf(4096);
    ssize_t n = readlink("/proc/self/exe", buf.data(), buf.size());
    if (n <= 0 || static_cast<size_t>(n) >= buf.size()) return {};
    return std::string(buf.data(), static_cast<size_t>(n));
}

std::uintptr_t module_handle() {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&module_handle), &info) == 0) return 0;
    return reinterpret_cast<std::uintptr_t>(info.dli_fbase);
}

bool debugger_attached() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("TracerPid:", 0) == 0) {
            return std::strtol(line.c_str() + 10, nullptr, 10) != 0;
        }
    }
    return false;
}

void debug_trap() {
    raise(SIGTRAP);
}

}  // namespace veltra::sys
