// A directory of the fuzz run's own for targets that go through files,
// made once and removed when the run ends.
#pragma once

#include <stdlib.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

namespace veltra::fuzz {

struct WorkDir {
    std::string path;
    WorkDir() {
        char pattern[] = "/tmp/veltra-fuzz-XXXXXX";
        const char* made = ::mkdtemp(pattern);
        if (made == nullptr) std::abort();
        path = made;
    }
    ~WorkDir() {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
    WorkDir(const WorkDir&) = delete;
    WorkDir& operator=(const WorkDir&) = delete;
};

inline const std::string& work_dir() {
    static const WorkDir dir;
    return dir.path;
}

}  // namespace veltra::fuzz
