// File services on POSIX.
#include "sys/files.hpp"

#include <sys/stat.h>
#include <unistd.h>

namespace veltra::sys {

std::int64_t file_size(const char* path) {
    struct stat st {};
    if (stat(path, &st) != 0 || !S_ISREG(st.st_mode)) return -1;
    return static_cast<std::int64_t>(st.st_size);
}

bool remove_file(const char* path) {
    return unlink(path) == 0;
}

}  // namespace veltra::sys
