// Temporary directory precedence, path joining, base names and file sizes.
#include "frame/paths.hpp"

#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <filesystem>
#include <iterator>
#include <optional>
#include <string>

#include "frame/library_frame.hpp"
#include "platform_traits.hpp"
#include "sys/files.hpp"
#include "test_support.hpp"

namespace {

using veltra::test::EnvVar;
using veltra::test::TempDir;

const std::string kSep(1, veltra::sys::kPathSep);
constexpr bool kPosixTmpdir = std::size(veltra::sys::kTempDirVariables) == 3;

class PathsTest : public ::testing::Test {
protected:
    void SetUp() override {
        saved_dirname_ = veltra::dirname();
        veltra::set_dirname(host_dir_.path().string());
    }
    void TearDown() override { veltra::set_dirname(saved_dirname_); }

    TempDir host_dir_;
    std::string saved_dirname_;
};

TEST_F(PathsTest, TempDirPrecedence) {
    struct Case {
        std::optional<std::string> temp, tmp, tmpdir;
        std::string expected;  // "<host>" for the host program's directory
    };
    const Case cases[] = {
        {"/t1", "/t2", "/t3", "/t1"},
        {std::nullopt, "/t2", "/t3", "/t2"},
        // TMPDIR is a POSIX convention; Windows knows only TEMP and TMP.
        {std::nullopt, std::nullopt, "/t3", kPosixTmpdir ? "/t3" : "<host>"},
        {std::nullopt, std::nullopt, std::nullopt, "<host>"},
        // An empty value would put files at the root: it counts as absent.
        {"", "/t2", std::nullopt, "/t2"},
        {"", "", std::nullopt, "<host>"},
    };
    for (const Case& c : cases) {
        EnvVar temp("TEMP", c.temp), tmp("TMP", c.tmp), tmpdir("TMPDIR", c.tmpdir);
        const std::string expected =
            c.expected == "<host>" ? host_dir_.path().string() : c.expected;
        EXPECT_EQ(veltra::ecr_temp_dir(), expected)
            << c.temp.value_or("-") << " " << c.tmp.value_or("-") << " " << c.tmpdir.value_or("-");
    }
}

TEST_F(PathsTest, TempDirIsLookedUpAtEveryCall) {
    EnvVar temp("TEMP", "/first");
    EXPECT_EQ(veltra::ecr_temp_dir(), "/first");
    EnvVar again("TEMP", "/second");
    EXPECT_EQ(veltra::ecr_temp_dir(), "/second");
}

TEST_F(PathsTest, TempAndModulePathsJoinWithTheSeparator) {
    EnvVar temp("TEMP", "/var/tmp");
    EXPECT_EQ(veltra::ecr_temp_path("PLU.BIN"), "/var/tmp" + kSep + "PLU.BIN");
    EXPECT_EQ(veltra::ecr_module_path("ecrlog.txt"),
              host_dir_.path().string() + kSep + "ecrlog.txt");
}

TEST(PathInDir, AnEmptyFolderIsTheCurrentOneAndNoSeparatorIsDoubled) {
    const struct {
        std::string dir, path;
    } cases[] = {
        {"", "." + kSep + "PLU.BIN"},
        {"dir", "dir" + kSep + "PLU.BIN"},
        {"dir" + kSep, "dir" + kSep + "PLU.BIN"},
        {kSep, kSep + "PLU.BIN"},
        {"a" + kSep + "b", "a" + kSep + "b" + kSep + "PLU.BIN"},
    };
    for (const auto& c : cases) EXPECT_EQ(veltra::path_in_dir(c.dir, "PLU.BIN"), c.path) << c.dir;
}

TEST(BaseName, OnlyThePlatformSeparatorSeparates) {
    const std::string s = kSep;
    const struct {
        std::string path, base;
    } cases[] = {
        {"a" + s + "b" + s + "PLU.BIN", "PLU.BIN"},
        {"PLU.BIN", "PLU.BIN"},
        {s + "PLU.BIN", "PLU.BIN"},
        {"dir" + s, ""},
        {"", ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(veltra::ecr_base_name(c.path.c_str()), c.base) << c.path;
        EXPECT_EQ(veltra::ecr_base_name(std::string_view(c.path)), c.base) << c.path;
    }
    // The other slash is part of the name on this platform.
    const std::string other = kSep == "/" ? "C:\\a\\PLU.BIN" : "C:/a/PLU.BIN";
    EXPECT_EQ(veltra::ecr_base_name(other.c_str()), other);
}

TEST(BaseName, PointsIntoTheGivenPath) {
    const std::string path = "x" + kSep + "y";
    const char* base = veltra::ecr_base_name(path.c_str());
    EXPECT_EQ(base, path.c_str() + 2);
}

TEST(FileSize, ReportsBytesOrMinusOne) {
    TempDir dir;
    veltra::test::write_file(dir.file("empty"), "");
    veltra::test::write_file(dir.file("data"), std::string(1234, 'z'));
    EXPECT_EQ(veltra::ecr_file_size(dir.file("missing").c_str()), -1);
    EXPECT_EQ(veltra::ecr_file_size(dir.file("empty").c_str()), 0);
    EXPECT_EQ(veltra::ecr_file_size(dir.file("data").c_str()), 1234);
    // A directory is no file to send or read.
    EXPECT_EQ(veltra::ecr_file_size(dir.path().string().c_str()), -1);
}

TEST(FileSize, FilesBeyondThirtyTwoBitsReportTheLargestSize) {
    TempDir dir;
    const std::string path = dir.file("big");
    {
        std::FILE* f = std::fopen(path.c_str(), "wb");
        ASSERT_NE(f, nullptr);
        std::fclose(f);
    }
    // A sparse file of 3 GiB costs no disk space.
    std::filesystem::resize_file(path, 3ull << 30);
    EXPECT_EQ(veltra::ecr_file_size(path.c_str()), INT32_MAX);
}

TEST(Dirname, IsTheExecutablesDirectoryOrDot) {
    const std::string s = kSep;
    EXPECT_EQ(veltra::dirname_of("opt" + s + "shop" + s + "pos.exe"), "opt" + s + "shop");
    EXPECT_EQ(veltra::dirname_of("pos.exe"), ".");
    EXPECT_EQ(veltra::dirname_of(s + "pos"), "");
}

}  // namespace
