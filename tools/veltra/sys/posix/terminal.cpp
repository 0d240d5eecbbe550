// Terminal checks on POSIX.
#include "sys/terminal.hpp"

#include <unistd.h>

namespace veltra::sys {

bool is_terminal(StdStream stream) {
    const int fd = stream == StdStream::kIn    ? STDIN_FILENO
                   : stream == StdStream::kOut ? STDOUT_FILENO
                                               : STDERR_FILENO;
    return isatty(fd) == 1;
}

}  // namespace veltra::sys
