// veltra: the command-line tool over the library.
#include <iostream>
#include <string>
#include <vector>

#include "command_table.hpp"
#include "sys/terminal.hpp"
#include "work_dir.hpp"

int main(int argc, char** argv) {
    using veltra::sys::is_terminal;
    using veltra::sys::StdStream;
    // The library's work files go to a folder of this run's own.
    const veltra::tool::RunTempDir run_dir;
    veltra::tool::Io io{std::cout, std::cerr, std::cin, is_terminal(StdStream::kIn),
                        is_terminal(StdStream::kErr)};
    return veltra::tool::run_tool(std::vector<std::string>(argv + 1, argv + argc), io);
}
