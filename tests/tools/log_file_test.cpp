// The service's log file: its rotation keeps whole lines, in order, in at
// most `keep` older files of at most the limit each.
#include "log_file.hpp"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "test_support.hpp"

namespace veltra::test {
namespace {

namespace fs = std::filesystem;
using tool::serve::LogFile;

std::string numbered_line(int i, std::size_t width) {
    std::string line = "line " + std::to_string(i) + " ";
    line.resize(width, 'x');
    return line;
}

// The lines of a file, which must end with a line end.
std::vector<std::string> whole_lines(const fs::path& path) {
    const std::string text = read_file(path.string());
    EXPECT_TRUE(text.empty() || text.back() == '\n') << path << " ends within a line";
    std::vector<std::string> lines;
    std::size_t at = 0;
    for (std::size_t end; (end = text.find('\n', at)) != std::string::npos; at = end + 1)
        lines.push_back(text.substr(at, end - at));
    return lines;
}

fs::path numbered(const fs::path& log, int i) {
    return log.string() + "." + std::to_string(i);
}

TEST(LogFile, RotationKeepsTheNewestWholeLinesInOrderWithinTheLimit) {
    TempDir dir;
    const fs::path log = dir.path() / "veltra-serve.log";
    constexpr std::uintmax_t kLimit = 1000;
    constexpr int kKeep = 3;
    constexpr int kLines = 200;
    {
        LogFile file(log, kLimit, kKeep);
        std::ostream out(&file);
        // As the service's log writer writes: the line, then its end.
        for (int i = 0; i < kLines; ++i) out << numbered_line(i, 60 + i % 37) << '\n';
        out.flush();
        ASSERT_TRUE(file.good());
    }
    EXPECT_FALSE(fs::exists(numbered(log, kKeep + 1)));
    std::vector<std::string> kept;
    for (int i = kKeep; i >= 0; --i) {
        const fs::path path = i == 0 ? log : numbered(log, i);
        ASSERT_TRUE(fs::exists(path)) << path;
        EXPECT_LE(fs::file_size(path), kLimit) << path;
        // Older files were full: the next line (97 bytes at most) did not fit.
        if (i > 0) {
            EXPECT_GT(fs::file_size(path) + 97, kLimit) << path;
        }
        for (std::string& line : whole_lines(path)) kept.push_back(std::move(line));
    }
    // The newest lines, none lost between the files, none repeated.
    ASSERT_FALSE(kept.empty());
    const int first = kLines - static_cast<int>(kept.size());
    ASSERT_GT(first, 0) << "nothing was dropped: the test wrote too little";
    for (std::size_t k = 0; k < kept.size(); ++k)
        EXPECT_EQ(kept[k], numbered_line(first + static_cast<int>(k), 60 + (first + k) % 37));
}

TEST(LogFile, ALineLongerThanTheLimitIsWrittenWholeInAFileOfItsOwn) {
    TempDir dir;
    const fs::path log = dir.path() / "serve.log";
    const std::string long_line(300, 'L');
    {
        LogFile file(log, 100, 5);
        std::ostream out(&file);
        out << "before\n" << long_line << "\nafter\n" << std::flush;
    }
    EXPECT_EQ(read_file(numbered(log, 2).string()), "before\n");
    EXPECT_EQ(read_file(numbered(log, 1).string()), long_line + "\n");
    EXPECT_EQ(read_file(log.string()), "after\n");
}

TEST(LogFile, AppendsToTheFileALastRunLeftAndCountsItsSize) {
    TempDir dir;
    const fs::path log = dir.path() / "serve.log";
    write_file(log.string(), std::string(90, 'o') + "\n");
    {
        LogFile file(log, 100, 5);
        std::ostream out(&file);
        out << "short\n" << std::flush;          // 91 + 6 fits
        out << "one more line\n" << std::flush;  // 97 + 14 does not
    }
    EXPECT_EQ(read_file(numbered(log, 1).string()), std::string(90, 'o') + "\nshort\n");
    EXPECT_EQ(read_file(log.string()), "one more line\n");
}

}  // namespace
}  // namespace veltra::test
