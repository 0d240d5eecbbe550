// ecrsim: a simulated register for development without a real one. Runs
// until asked to stop (SIGINT or SIGTERM; Ctrl+C on Windows) and prints one
// line per command, transfer and key.
#include <iostream>
#include <string>
#include <vector>

#include "program.hpp"

int main(int argc, char** argv) {
    return ecrsim::run_program(std::vector<std::string>(argv + 1, argv + argc), std::cout,
                               std::cerr);
}
