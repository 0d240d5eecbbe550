// A private directory for the tool's work files (downloads for a
// comparison, a get before it replaces the user's file), removed with its
// contents when the command ends.
#pragma once

#include <filesystem>
#include <string>

namespace veltra::tool {

class WorkDir {
public:
    // Throws std::filesystem::filesystem_error when no directory can be made.
    WorkDir();
    ~WorkDir();
    WorkDir(const WorkDir&) = delete;
    WorkDir& operator=(const WorkDir&) = delete;

    std::string dir() const { return path_.string(); }
    std::string file(const std::string& name) const { return (path_ / name).string(); }

private:
    std::filesystem::path path_;
};

// Moves a finished file to its destination, replacing what is there (a copy
// and a delete when the two are on different file systems).
void move_file(const std::string& from, const std::string& to);

}  // namespace veltra::tool
