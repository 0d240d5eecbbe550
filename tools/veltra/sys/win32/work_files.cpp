// Private work files and process checks on Windows.
#include "sys/work_files.hpp"

#include <windows.h>

namespace veltra::sys {

void make_new_files_private() {}

long current_process_id() {
    return static_cast<long>(GetCurrentProcessId());
}

bool process_running(long id) {
    if (id <= 0) return false;
    HANDLE h = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(id));
    if (h == nullptr) return GetLastError() == ERROR_ACCESS_DENIED;
    DWORD code = 0;
    const bool running = GetExitCodeProcess(h, &code) != 0 && code == STILL_ACTIVE;
    CloseHandle(h);
    return running;
}

}  // namespace veltra::sys
