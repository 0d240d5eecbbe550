// File services on Windows.
#include "sys/files.hpp"

#include <windows.h>

namespace veltra::sys {

std::int64_t file_size(const char* path) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExA(path, GetFileExInfoStandard, &data)) return -1;
    if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return -1;
    return (static_cast<std::int64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

bool remove_file(const char* path) {
    return DeleteFileA(path) != FALSE;
}

bool rename_file(const char* from, const char* to, bool replace) {
    const DWORD flags = MOVEFILE_WRITE_THROUGH | (replace ? MOVEFILE_REPLACE_EXISTING : 0);
    return MoveFileExA(from, to, flags) != FALSE;
}

}  // namespace veltra::sys
