// Terminal checks on Windows: a console handle, not a file or a pipe.
#include "sys/terminal.hpp"

#include <windows.h>

namespace veltra::sys {

bool is_terminal(StdStream stream) {
    const DWORD which = stream == StdStream::kIn    ? STD_INPUT_HANDLE
                        : stream == StdStream::kOut ? STD_OUTPUT_HANDLE
                                                    : STD_ERROR_HANDLE;
    const HANDLE h = GetStdHandle(which);
    DWORD mode = 0;
    return h != nullptr && h != INVALID_HANDLE_VALUE && GetConsoleMode(h, &mode) != 0;
}

}  // namespace veltra::sys
