// Environment lookups on POSIX: the C library's own copy of the environment,
// which setenv and unsetenv in the host change at once.
#include "sys/env.hpp"

#include <cstdlib>

namespace veltra::sys {

std::optional<std::string> env_get(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr) return std::nullopt;
    return std::string(value);
}

bool env_present(const char* name) {
    return std::getenv(name) != nullptr;
}

void env_set(const char* name, const std::optional<std::string>& value) {
    if (value) {
        setenv(name, value->c_str(), 1);
    } else {
        unsetenv(name);
    }
}

}  // namespace veltra::sys
