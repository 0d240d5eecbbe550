// The ecrsim program as a function, so that other programs (the veltra
// tool's `sim` command) run the same simulated register with the same options.
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace ecrsim {

// Runs the program with its arguments (without the program's name) until a
// stop is requested; log lines go to out, errors to err. Returns the exit
// status: 0, 1 when the register cannot start, 2 for a wrong command line.
// `name` is the program name the usage and error lines carry.
int run_program(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
                const char* name = "ecrsim");

}  // namespace ecrsim
