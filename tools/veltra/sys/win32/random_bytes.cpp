// Random bytes on Windows: the system's preferred generator.
#include "sys/random_bytes.hpp"

#include <windows.h>
// windows.h first: bcrypt.h needs its types.
#include <bcrypt.h>

namespace veltra::sys {

bool random_bytes(std::span<unsigned char> out) {
    return BCryptGenRandom(nullptr, out.data(), static_cast<ULONG>(out.size()),
                           BCRYPT_USE_SYSTEM_PREFERRED_RNG) == 0;
}

}  // namespace veltra::sys
