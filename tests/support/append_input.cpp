// Appends what it reads on its standard input to the file named by its one
// argument: the notify command of the service's tests, the same on Linux and
// under Wine, where no POSIX shell is at hand.
#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fputs("usage: append_input FILE\n", stderr);
        return 2;
    }
    std::ios::sync_with_stdio(false);
    std::ofstream out(argv[1], std::ios::binary | std::ios::app);
    std::copy(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>(),
              std::ostreambuf_iterator<char>(out));
    out.flush();
    return out ? 0 : 1;
}
