// The tool's work directories: one of its own per run, made the library's
// temporary directory; those of programs no longer running removed.
#include "work_dir.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "frame/paths.hpp"
#include "sys/work_files.hpp"
#include "test_support.hpp"

#ifndef _WIN32
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace veltra::test {
namespace {

using tool::remove_leftover_work_dirs;
using tool::RunTempDir;

TEST(RunTempDir, EachRunHasAPrivateTemporaryDirectoryOfItsOwn) {
    TempDir base;
    EnvVar temp("TEMP", base.path().string());
    EnvVar tmp("TMP", base.path().string());
    EnvVar tmpdir("TMPDIR", base.path().string());
    std::string first_dir;
    {
        RunTempDir first;
        first_dir = first.dir();
        ASSERT_FALSE(first_dir.empty());
        EXPECT_EQ(std::filesystem::path(first_dir).parent_path(), base.path());
        // The library's work files go there now.
        EXPECT_EQ(std::filesystem::path(veltra::ecr_temp_dir()), std::filesystem::path(first_dir));
        RunTempDir second;
        EXPECT_NE(second.dir(), first_dir);
        EXPECT_TRUE(std::filesystem::is_directory(second.dir()));
#ifndef _WIN32
        struct stat st {};
        ASSERT_EQ(stat(first_dir.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0700u);
#endif
    }
    // Gone at the end of the run, and the variables as they were.
    EXPECT_FALSE(std::filesystem::exists(first_dir));
    EXPECT_EQ(std::filesystem::path(veltra::ecr_temp_dir()), base.path());
}

#ifndef _WIN32
TEST(RunTempDir, OnlyTheDirectoriesOfEndedProgramsAreRemoved) {
    TempDir base;
    const pid_t child = fork();
    if (child == 0) _exit(0);
    ASSERT_GT(child, 0);
    ASSERT_EQ(waitpid(child, nullptr, 0), child);  // an id no program has now
    const std::string dead = "veltra-" + std::to_string(child) + "-00ff";
    const std::string alive = "veltra-" + std::to_string(sys::current_process_id()) + "-00ff";
    for (const std::string& name : {dead, alive, std::string("veltra-test-1"),
                                    std::string("veltra-12x-1"), std::string("other-1-1")}) {
        std::filesystem::create_directories(base.path() / name / "inner");
        write_file((base.path() / name / "inner" / "f").string(), "x");
    }
    write_file((base.path() / ("veltra-" + std::to_string(child) + "-file")).string(), "a file");
    EXPECT_EQ(remove_leftover_work_dirs(base.path()), 1);
    EXPECT_FALSE(std::filesystem::exists(base.path() / dead));
    for (const char* kept : {"veltra-test-1", "veltra-12x-1", "other-1-1"})
        EXPECT_TRUE(std::filesystem::exists(base.path() / kept)) << kept;
    EXPECT_TRUE(std::filesystem::exists(base.path() / alive));
    EXPECT_TRUE(
        std::filesystem::exists(base.path() / ("veltra-" + std::to_string(child) + "-file")));
}
#endif

}  // namespace
}  // namespace veltra::test
