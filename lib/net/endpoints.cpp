// Ports of the register, with their environment overrides.
#include "net/endpoints.hpp"

#include <optional>
#include <string>

#include "sys/env.hpp"

namespace veltra {

std::uint16_t register_port(const char* variable, std::uint16_t fallback) {
    const std::optional<std::string> value = sys::env_get(variable);
    if (!value || value->empty() || value->size() > 5) return fallback;
    unsigned port = 0;
    for (char c : *value) {
        if (c < '0' || c > '9') return fallback;
        port = port * 10 + static_cast<unsigned>(c - '0');
    }
    if (port == 0 || port > 65535) return fallback;
    return static_cast<std::uint16_t>(port);
}

}  // namespace veltra
