// Paths of the library's files: temporary files, the trace log, base names.
#include "frame/paths.hpp"

#include <cstring>
#include <filesystem>
#include <limits>
#include <system_error>

#include "frame/library_frame.hpp"
#include "sys/env.hpp"
#include "sys/files.hpp"

namespace veltra {

std::string path_in_dir(std::string_view dir, std::string_view name) {
    if (dir.empty()) dir = ".";
    std::string path;
    path.reserve(dir.size() + 1 + name.size());
    path.append(dir);
    // A folder that ends with the separator takes no second one: a path
    // that starts with two of them is a network path on Windows.
    if (dir.back() != sys::kPathSep) path.push_back(sys::kPathSep);
    path.append(name);
    return path;
}

std::string ecr_temp_dir() {
    for (const char* name : sys::kTempDirVariables) {
        if (auto value = sys::env_get(name); value && !value->empty()) return *value;
    }
    return dirname();
}

std::string ecr_temp_path(std::string_view name) {
    return path_in_dir(ecr_temp_dir(), name);
}

std::string ecr_module_path(std::string_view name) {
    return path_in_dir(dirname(), name);
}

std::string_view ecr_base_name(std::string_view path) {
    const auto sep = path.rfind(sys::kPathSep);
    return sep == std::string_view::npos ? path : path.substr(sep + 1);
}

const char* ecr_base_name(const char* path) {
    const char* sep = std::strrchr(path, sys::kPathSep);
    return sep == nullptr ? path : sep + 1;
}

std::int32_t ecr_file_size(const char* path) {
    const std::int64_t size = sys::file_size(path);
    if (size < 0) return -1;
    constexpr std::int64_t most = std::numeric_limits<std::int32_t>::max();
    return static_cast<std::int32_t>(size > most ? most : size);
}

bool same_file(const char* a, const char* b) {
    if (std::strcmp(a, b) == 0) return true;
    std::error_code error;
    const bool same = std::filesystem::equivalent(a, b, error);
    return !error && same;
}

}  // namespace veltra
