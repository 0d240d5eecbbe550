// The default state folder on Windows: the machine's ProgramData, since the
// service runs as a system service rather than as one user.
#include "sys/state_dir.hpp"

#include <windows.h>

#include <string>

namespace veltra::sys {

std::filesystem::path default_state_dir() {
    // The process environment itself, in UTF-16: the C runtime's copy misses
    // changes made with SetEnvironmentVariable, and its narrow code page
    // cannot hold every folder name.
    std::wstring data(MAX_PATH, L'\0');
    DWORD n = GetEnvironmentVariableW(L"ProgramData", data.data(), static_cast<DWORD>(data.size()));
    if (n >= data.size()) {
        data.resize(n);
        n = GetEnvironmentVariableW(L"ProgramData", data.data(), static_cast<DWORD>(data.size()));
    }
    if (n == 0 || n >= data.size()) return {};
    data.resize(n);
    return std::filesystem::path(data) / L"VELTRA";
}

const char* default_state_dir_rule() {
    return "%ProgramData%\\VELTRA";
}

}  // namespace veltra::sys
