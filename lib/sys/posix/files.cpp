// File services on POSIX.
#include "sys/files.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

namespace veltra::sys {

std::int64_t file_size(const char* path) {
    struct stat st {};
    if (stat(path, &st) != 0 || !S_ISREG(st.st_mode)) return -1;
    return static_cast<std::int64_t>(st.st_size);
}

bool remove_file(const char* path) {
    return unlink(path) == 0;
}

bool rename_file(const char* from, const char* to, bool replace) {
    // rename() always replaces; the library is not reentrant, so a check
    // before it is enough to keep an existing file.
    struct stat st {};
    if (!replace && lstat(to, &st) == 0) return false;
    return std::rename(from, to) == 0;
}

}  // namespace veltra::sys
