// Process environment, read at the moment of use: the library's switches
// (ECR_TRACE and friends) may be set or removed by the host between calls.
#pragma once

#include <optional>
#include <string>

namespace veltra::sys {

// The variable's value, or nothing when it is absent. An empty value is present.
std::optional<std::string> env_get(const char* name);

// True when the variable is present, whatever its value.
bool env_present(const char* name);

// Sets the variable, or removes it when value is empty (std::nullopt).
void env_set(const char* name, const std::optional<std::string>& value);

}  // namespace veltra::sys
