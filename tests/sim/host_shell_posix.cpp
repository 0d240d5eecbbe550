// Shell command lines for the simulator's tests on POSIX hosts.
#include <sys/wait.h>

#include <cstdlib>

#include "sim_fixture.hpp"

namespace ecrsim::test {

bool posix_shell() {
    return true;
}

int run(const std::string& command) {
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace ecrsim::test
