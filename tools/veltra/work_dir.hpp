// A private directory for the tool's work files (downloads for a
// comparison, a get before it replaces the user's file), removed with its
// contents when the command ends.
#pragma once

#include <filesystem>
#include <optional>
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

// One run of the tool: its own work directory, made the temporary directory
// (TEMP, TMP, TMPDIR) of the library's calls and of the processes it starts,
// so that two runs at once never share the library's work files. New files
// are the user's alone. The directories that runs which were killed left
// behind in the temporary directory are removed first.
class RunTempDir {
public:
    RunTempDir();
    ~RunTempDir();
    RunTempDir(const RunTempDir&) = delete;
    RunTempDir& operator=(const RunTempDir&) = delete;

    std::string dir() const { return dir_ ? dir_->dir() : ""; }

private:
    std::optional<std::string> saved_[3];
    std::optional<WorkDir> dir_;
};

// Removes the work directories in base whose program no longer runs.
// Returns how many went.
int remove_leftover_work_dirs(const std::filesystem::path& base);

// Moves a finished file to its destination, replacing what is there (a copy
// and a delete when the two are on different file systems).
void move_file(const std::string& from, const std::string& to);

}  // namespace veltra::tool
