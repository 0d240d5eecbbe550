// The worker processes the service starts get its pipes and nothing else of
// its: a connection the service closes must end for its peer at once.
#include <gtest/gtest.h>

#ifndef _WIN32
#include <poll.h>
#include <unistd.h>

#include "sys/child_process.hpp"

namespace veltra::test {
namespace {

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

}  // namespace
}  // namespace veltra::test
#endif
