// Random bytes from the system's own generator, for what must not be
// guessed (the service's job ids). Not part of the shared library.
#pragma once

#include <cstddef>
#include <span>

namespace veltra::sys {

// Fills out; false when the system gave fewer bytes.
bool random_bytes(std::span<unsigned char> out);

}  // namespace veltra::sys
