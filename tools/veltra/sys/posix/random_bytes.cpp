// Random bytes on POSIX: the kernel's generator.
#include "sys/random_bytes.hpp"

#include <sys/random.h>

#include <cerrno>

namespace veltra::sys {

bool random_bytes(std::span<unsigned char> out) {
    std::size_t done = 0;
    while (done < out.size()) {
        const ssize_t n = getrandom(out.data() + done, out.size() - done, 0);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace veltra::sys
