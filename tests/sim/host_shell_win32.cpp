// Shell command lines for the simulator's tests on Windows (and under Wine):
// there is no POSIX shell and none of Debian's programs, so the tests that
// need them skip themselves (ECRSIM_NEEDS_POSIX_SHELL).
#include "sim_fixture.hpp"

namespace ecrsim::test {

bool posix_shell() {
    return false;
}

int run(const std::string&) {
    return -1;
}

}  // namespace ecrsim::test
