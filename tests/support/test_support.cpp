// Helpers shared by the test suites.
#include "test_support.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

#include "platform_traits.hpp"
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

std::vector<std::string> text_file_lines(const std::string& path) {
    const std::string text = read_file(path);
    const std::string end = sys::kTextLineEnd;
    std::vector<std::string> lines;
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t e = text.find(end, at);
        EXPECT_NE(e, std::string::npos) << path << ": last line without its line end";
        if (e == std::string::npos) break;
        lines.push_back(text.substr(at, e - at));
        at = e + end.size();
    }
    return lines;
}

std::vector<std::uint8_t> pattern_bytes(std::size_t n, unsigned seed) {
    std::vector<std::uint8_t> b(n);
    std::uint32_t x = seed * 2654435761u + 1;
    for (auto& v : b) {
        x = x * 1664525u + 1013904223u;
        v = static_cast<std::uint8_t>(x >> 24);
    }
    return b;
}

}  // namespace veltra::test
