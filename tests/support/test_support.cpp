// Helpers shared by the test suites.
#include "test_support.hpp"

#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

#include "sys/env.hpp"

namespace veltra::test {

TempDir::TempDir() {
    std::random_device seed;
    std::mt19937_64 rng(seed());
    const auto base = std::filesystem::temp_directory_path();
    for (int attempt = 0; attempt < 100; ++attempt) {
        auto candidate = base / ("veltra-test-" + std::to_string(rng()));
        if (std::filesystem::create_directory(candidate)) {
            path_ = candidate;
            return;
        }
    }
    throw std::runtime_error("cannot create a temporary directory");
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

EnvVar::EnvVar(const char* name, std::optional<std::string> value)
    : name_(name), old_(sys::env_get(name)) {
    sys::env_set(name, value);
}

EnvVar::~EnvVar() {
    sys::env_set(name_.c_str(), old_);
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void write_file(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
}

std::vector<std::string> read_lines(const std::string& path) {
    std::ifstream in(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

}  // namespace veltra::test
