// Temporary and module paths, base names and file sizes. The separator is
// the platform's own: '/' on POSIX, '\' on Windows, where a slash does not
// separate.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace veltra {

// The temporary directory, looked up afresh at each call: TEMP, else TMP
// (else TMPDIR on POSIX), else the host program's directory. A variable set
// to an empty text counts as absent.
std::string ecr_temp_dir();

// The folder, a separator (unless the folder ends with one) and the name.
// An empty folder is the current one ("." and the name), so that a file
// never lands in the root by accident.
std::string path_in_dir(std::string_view dir, std::string_view name);

// The temporary directory, a separator and the name.
std::string ecr_temp_path(std::string_view name);

// The host program's directory, a separator and the name.
std::string ecr_module_path(std::string_view name);

// The part of path behind its last separator, or the whole path.
const char* ecr_base_name(const char* path);
std::string_view ecr_base_name(std::string_view path);

// Whether two paths name the same file: the same text, or, where both
// exist, the same file by another spelling.
bool same_file(const char* a, const char* b);

// The file's size in bytes, or -1 when it cannot be examined. Files of
// 2 GiB or more report INT32_MAX, which every size check of the library
// refuses.
std::int32_t ecr_file_size(const char* path);

}  // namespace veltra
