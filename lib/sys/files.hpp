// File system services the library needs beyond the C streams.
#pragma once

#include <cstdint>

#include "platform_traits.hpp"

namespace veltra::sys {

// Size in bytes, or -1 when the file cannot be examined (missing, no access,
// not a regular file).
std::int64_t file_size(const char* path);

// Deletes a file; false when it was not there or could not be deleted.
bool remove_file(const char* path);

// Renames from to to. With replace, an existing to is replaced in one step
// (a reader sees the old file or the new one, never neither); without it an
// existing to makes the rename fail. False on failure.
bool rename_file(const char* from, const char* to, bool replace);

}  // namespace veltra::sys
