// File services on POSIX.
#include "sys/files.hpp"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>

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

std::vector<DirEntry> list_dir(const char* dir, const char* pattern) {
    std::vector<DirEntry> found;
    DIR* d = opendir(dir);
    if (d == nullptr) return found;
    while (const dirent* e = readdir(d)) {
        const std::string_view name(e->d_name);
        if (name == "." || name == ".." || !name_matches(name, pattern, kNamesFoldCase)) continue;
        // Not followed: a link is an entry of its own, never the folder it names.
        const std::string path = std::string(dir) + kPathSep + e->d_name;
        struct stat st {};
        const bool directory = lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
        found.push_back({std::string(name), directory});
    }
    closedir(d);
    return found;
}

}  // namespace veltra::sys
