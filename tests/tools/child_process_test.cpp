// The worker processes the service starts get its pipes and nothing else of
// its: a connection the service closes must end for its peer at once. A
// command line given to the platform's shell reaches it as written.
#include "sys/child_process.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>

#ifndef _WIN32
#include <poll.h>
#include <unistd.h>
#endif

namespace veltra::test {
namespace {

// The first line the shell prints for command_line.
std::optional<std::string> shell_says(const std::string& command_line) {
    const auto [program, args] = sys::shell_command(command_line);
    sys::ChildProcess child(program, args, std::filesystem::temp_directory_path().string(), {});
    child.close_input();
    bool ended = false;
    for (int i = 0; i < 100 && !ended; ++i)
        if (auto line = child.read_line(100, 4096, ended)) {
            if (!line->empty() && line->back() == '\r') line->pop_back();
            return line;
        }
    return std::nullopt;
}

// Quotes, spaces and the shell's own operators are the shell's to read: a
// notify command naming a program under "Program Files" must run.
TEST(ShellCommand, QuotesAndOperatorsReachTheShellAsWritten) {
    struct Case {
        const char* line;
        const char* says;
    };
#ifdef _WIN32
    const Case cases[] = {
        {"echo \"a  b\"", "\"a  b\""},
        {"echo one& echo two", "one"},
        {"if \"x y\"==\"x y\" (echo same) else (echo differ)", "same"},
    };
#else
    const Case cases[] = {
        {"echo \"a  b\"", "a  b"},
        {"echo 'it''s'; echo two", "its"},
        {"if [ \"x y\" = 'x y' ]; then echo same; else echo differ; fi", "same"},
    };
#endif
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        EXPECT_EQ(shell_says(c.line), std::optional<std::string>(c.says));
    }
}

#ifndef _WIN32

TEST(ChildProcess, TakesNoDescriptorOfItsParentBeyondItsPipes) {
    int p[2];
    ASSERT_EQ(pipe(p), 0);  // inheritable, as a socket accepted without CLOEXEC is
    sys::ChildProcess child("/bin/sleep", {"5"}, "/", {});
    close(p[1]);
    // The write end lives on only if the child holds a copy of it.
    pollfd fd{p[0], POLLIN, 0};
    ASSERT_EQ(poll(&fd, 1, 3000), 1) << "the child kept the parent's descriptor";
    char c = 0;
    EXPECT_EQ(read(p[0], &c, 1), 0);
    close(p[0]);
}

#endif

}  // namespace
}  // namespace veltra::test
