// File system services the library needs beyond the C streams.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

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

struct DirEntry {
    std::string name;  // the name inside the folder
    bool directory = false;
};

// The entries of the folder dir whose names match pattern, where "?" stands
// for exactly one character and "*" for any run of them (letter case is
// ignored where the file system ignores it). "." and ".." are never listed.
// An unreadable or missing folder lists nothing.
std::vector<DirEntry> list_dir(const char* dir, const char* pattern);

// The pattern rule of list_dir, the same on every platform (the system's
// own matching, where there is one, only preselects: Windows lets "?" before
// a dot match nothing, and looks at short 8.3 names as well).
inline bool name_matches(std::string_view name, std::string_view pattern, bool fold_case) {
    const auto same = [fold_case](char a, char b) {
        if (!fold_case) return a == b;
        const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
        return lower(a) == lower(b);
    };
    // Greedy with one back-track point: the last "*" seen.
    std::size_t n = 0, p = 0, star = std::string_view::npos, resume = 0;
    while (n < name.size()) {
        if (p < pattern.size() && pattern[p] == '*') {
            star = p++;
            resume = n;
        } else if (p < pattern.size() && (pattern[p] == '?' || same(pattern[p], name[n]))) {
            ++p, ++n;
        } else if (star != std::string_view::npos) {
            p = star + 1;
            n = ++resume;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*') ++p;
    return p == pattern.size();
}

}  // namespace veltra::sys
