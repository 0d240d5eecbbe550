// Environment lookups on Windows: the process environment itself, which the
// host may change with SetEnvironmentVariable between calls (the C runtime's
// copy would not see that).
#include "sys/env.hpp"

#include <windows.h>

#include <vector>

namespace veltra::sys {

std::optional<std::string> env_get(const char* name) {
    SetLastError(ERROR_SUCCESS);
    DWORD size = GetEnvironmentVariableA(name, nullptr, 0);
    if (size == 0) {
        if (GetLastError() == ERROR_ENVVAR_NOT_FOUND) return std::nullopt;
        return std::string();
    }
    // The value may change between the two calls; try again a few times.
    for (int attempt = 0; attempt < 4; ++attempt) {
        std::vector<char> buf(size);
        const DWORD got = GetEnvironmentVariableA(name, buf.data(), size);
        if (got == 0) {
            if (GetLastError() == ERROR_ENVVAR_NOT_FOUND) return std::nullopt;
            return std::string();
        }
        if (got < size) return std::string(buf.data(), got);
        size = got;
    }
    return std::nullopt;
}

bool env_present(const char* name) {
    SetLastError(ERROR_SUCCESS);
    const DWORD size = GetEnvironmentVariableA(name, nullptr, 0);
    return size != 0 || GetLastError() != ERROR_ENVVAR_NOT_FOUND;
}

void env_set(const char* name, const std::optional<std::string>& value) {
    SetEnvironmentVariableA(name, value ? value->c_str() : nullptr);
}

}  // namespace veltra::sys
