// Private work files and process checks on POSIX.
#include "sys/work_files.hpp"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace veltra::sys {

void make_new_files_private() {
    umask(077);
}

long current_process_id() {
    return static_cast<long>(getpid());
}

bool process_running(long id) {
    if (id <= 0) return false;
    // EPERM: it runs, as another user's.
    return kill(static_cast<pid_t>(id), 0) == 0 || errno == EPERM;
}

}  // namespace veltra::sys
